#!/usr/bin/env bash
# A throwaway UPnP lab inside network namespaces. The gateway host holds the LAN's switch,
# a bridge with two ports: one to the client host, one to a third host (a device that
# shares the LAN: a TV, a speaker); a WAN host sits behind a second veth pair. The gateway
# runs miniupnpd (nftables backend) on the bridge. Nothing has a route out of the lab.
#
#   lab.sh up NAME [HTTP_PORT] [IGD_VERSION] [WAN_ADDRESS]
#                                build the lab NAME and start the daemon, describing
#                                itself as IGD version 1 (default) or 2; its WAN address
#                                80.81.82.2 unless given (another /24's .2, its peer .1)
#   lab.sh up6 NAME [HTTP_PORT] [IGD_VERSION]
#                                the same lab with IPv6 beside IPv4, the daemon an IGD
#                                version 2 (unless 1 is asked for: it then describes
#                                no firewall) with its IPv6 firewall (pinholes); the
#                                gateway forwards IPv6 from the WAN only through them
#                                With LAB_PORTMAP=yes the daemon serves NAT-PMP and PCP
#                                on 5351 beside UPnP; with LAB_PORTMAP=only, those alone;
#                                LAB_MIN_LIFETIME=S lowers PCP's least lifetime (120 s)
#   lab.sh wan NAME CMD...       run CMD on the WAN host (the "internet")
#   lab.sh stop NAME             stop the lab's daemon (by the pid the lab keeps), and
#                                wait until it is gone
#   lab.sh start NAME            start the daemon again, as a rebooted router comes
#                                back: same configuration, an empty table
#   lab.sh down NAME             tear it all down (also after a failure; never fails)
#   lab.sh client NAME CMD...    run CMD on the client host
#   lab.sh gateway NAME CMD...   run CMD on the gateway host
#   lab.sh device NAME CMD...    run CMD on the third host of the LAN
#   lab.sh loss NAME IN OUT      lose IN percent of the packets that reach the client and
#                                OUT percent of those it sends, at random, as a weak radio
#                                link does (0 0: none, the default); zeroes the counters
#   lab.sh counters NAME         print what the loss rules counted since they were set:
#                                "in SEEN DROPPED", "out SEEN DROPPED", "syn SENT" (TCP
#                                connections the client opened, retries included) and
#                                "overflows N" (connections the daemon's full listen
#                                queue dropped since the lab came up)
#   lab.sh vpn NAME on|off       give the client a second interface (a VPN's) holding the
#                                default route and 239.0.0.0/8, or take it away; the LAN's
#                                /24 stays on lan0
#
# Addresses: LAN 192.168.77.0/24 (gateway .1, client .2, third host .3); the VPN
# 10.8.0.0/24 (client .2, its far end .1, where nothing answers). The WAN address must be
# one the daemon does not count as private or reserved, or it refuses to map;
# 80.81.82.0/24 stands in for the internet here and never leaves the lab (203.0.113.0/24
# would not do: the daemon counts it as reserved). With IPv6: LAN 2001:db8:77::/64
# (gateway ::1, client ::2, third host ::3), WAN 2001:db8:82::/64 (WAN host ::1, gateway
# ::2), routed, no NAT.
set -euo pipefail

LAN_GW=192.168.77.1
LAN_CLIENT=192.168.77.2
LAN_DEVICE=192.168.77.3
WAN_GW=80.81.82.2
VPN_CLIENT=10.8.0.2
VPN_PEER=10.8.0.1
LAN6_GW=2001:db8:77::1
LAN6_CLIENT=2001:db8:77::2
LAN6_DEVICE=2001:db8:77::3
WAN6_GW=2001:db8:82::2
WAN6_PEER=2001:db8:82::1

command=${1:?usage: lab.sh up|up6|stop|start|down|client|gateway|wan|device|loss|counters|vpn NAME ...}
name=${2:?lab name}
shift 2
client="$name-client"
gateway="$name-gw"
wan="$name-wan"
device="$name-dev"
vpn="$name-vpn"
state="/tmp/$name.lab"

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }
# Each host is set up by one ip reading its commands (ip -n NS -batch -) rather than an ip
# each: every process started costs milliseconds, and the suite builds a lab for most of
# its cases.
ip_batch() { ip -n "$1" -batch -; }

# A named namespace is a file of ip's; listing them all would also open every other
# lab's, which may be going away at that moment.
has_ns() { [ -e "/run/netns/$1" ]; }

down() {
  local ns pid gone=()
  if [ -f "$state/miniupnpd.pid" ]; then
    kill "$(cat "$state/miniupnpd.pid")" 2>/dev/null || true
  fi
  for ns in "$client" "$gateway" "$wan" "$device" "$vpn"; do
    if has_ns "$ns"; then
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
      gone+=("$ns")
    fi
  done
  # -force: one that cannot go does not keep the others.
  [ ${#gone[@]} -eq 0 ] || printf 'netns del %s\n' "${gone[@]}" | ip -force -batch - 2>/dev/null || true
  rm -rf "$state"
}

# Loss where a radio link loses it, in the netdev ingress hooks: what reaches the client
# at its interface, what it sends at the switch port that takes it in. A drop in the
# client's output hook would fail its send at once, which a radio link never does.
# Each hook counts what it saw before it drops. The table is made anew, in one
# transaction with taking the old one away, so its counters start at zero.
loss_table() {
  local dev=$1 side=$2 percent=$3
  cat <<NFT
table netdev lossy
delete table netdev lossy
table netdev lossy {
  counter seen {
  }
  counter dropped {
  }
  counter syn {
  }
  chain $side {
    type filter hook ingress device $dev priority 0; policy accept;
    counter name "seen"
    meta protocol ip ip protocol tcp tcp flags & (syn | ack) == syn counter name "syn"
    numgen random mod 100 < $percent counter name "dropped" drop
  }
}
NFT
}

loss() {
  local in=${1:?percent lost on the way in} out=${2:?percent lost on the way out}
  for p in "$in" "$out"; do
    if ! [[ "$p" =~ ^[0-9]+$ ]] || [ "$p" -gt 100 ]; then
      echo "lab.sh: a loss is a whole percent, 0 to 100, not $p" >&2
      return 2
    fi
  done
  loss_table lan0 in "$in" | in_ns "$client" nft -f -
  loss_table lan1 out "$out" | in_ns "$gateway" nft -f -
}

packets() {  # the packet count of one named counter of a loss table
  in_ns "$1" nft list counter netdev lossy "$2" | sed -n 's/.*packets \([0-9]*\).*/\1/p'
}

counters() {
  echo "in $(packets "$client" seen) $(packets "$client" dropped)"
  echo "out $(packets "$gateway" seen) $(packets "$gateway" dropped)"
  echo "syn $(packets "$gateway" syn)"
  # The namespace's own TCP counters: a header line, then a line of values.
  echo "overflows $(in_ns "$gateway" awk '$1 == "TcpExt:" {
    if (!seen) { for (i = 2; i <= NF; i++) column[$i] = i; seen = 1 }
    else print $column["ListenOverflows"] }' /proc/net/netstat)"
}

vpn() {
  case "${1:?on or off}" in
    on)
      ip netns add "$vpn"
      in_ns "$vpn" ip link set lo up
      ip link add vpn0 netns "$client" type veth peer name vpn1 netns "$vpn"
      in_ns "$vpn" ip addr add "$VPN_PEER/24" dev vpn1
      in_ns "$vpn" ip link set vpn1 up
      in_ns "$client" ip addr add "$VPN_CLIENT/24" dev vpn0
      in_ns "$client" ip link set vpn0 up
      in_ns "$client" ip route replace default via "$VPN_PEER" dev vpn0
      in_ns "$client" ip route add 239.0.0.0/8 dev vpn0
      # Its carrier is reported late, as a switch port's is; until then it sends nothing
      # (bounded: 5 s).
      for _ in $(seq 1 50); do
        [ "$(in_ns "$client" cat /sys/class/net/vpn0/operstate)" = up ] && return 0
        sleep 0.1
      done
      echo "lab.sh: the VPN's interface did not come up" >&2
      return 1
      ;;
    off)
      if has_ns "$vpn"; then
        for pid in $(ip netns pids "$vpn" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
        ip netns del "$vpn"  # takes vpn0, and the routes through it, with it
      fi
      in_ns "$client" ip route replace default via "$LAN_GW" dev lan0
      ;;
    *) echo "lab.sh: vpn on or off, not $1" >&2; return 2 ;;
  esac
}

# The daemon, started on the lab as it stands; ready once its HTTP port listens, both
# switch ports forward and the client's link is up: a link's carrier is reported up to a
# second late, a port forwards only after that, and a search sent before then is lost
# (bounded: 10 s).
start() {
  local port
  port=$(sed -n 's/^port=//p' "$state/miniupnpd.conf")
  # A plain command, not the in_ns function, so that $! is the daemon itself: `ip netns
  # exec` execs unshare, which execs the shell, which execs the daemon. In the foreground
  # (-d) it logs at debug level, a line or two per table entry for each request, to its
  # standard error and to syslog; with no /dev/log it writes them to the machine's console,
  # slowly (a millisecond a line) and to the console of every lab on the machine. Its own
  # mount namespace sees /dev/null there instead (where that cannot be, the daemon starts
  # all the same, only slower); the log file keeps every line.
  ip netns exec "$gateway" unshare --mount sh -c \
    'mount --bind /dev/null /dev/console 2>/dev/null; exec miniupnpd -d -f "$1" -P "$2"' daemon \
    "$state/miniupnpd.conf" "$state/daemon.pid" >>"$state/miniupnpd.log" 2>&1 &
  echo $! > "$state/miniupnpd.pid"
  for _ in $(seq 1 100); do
    # The bridge's ports first, which hold out longest. Without UPnP nothing listens on
    # TCP: NAT-PMP's UDP port tells the daemon is up.
    if [ "$(bridge -n "$gateway" link show | grep -c 'state forwarding')" = 2 ] &&
      ip -n "$client" -o link show lan0 | grep -q ' state UP ' &&
      { ss -N "$gateway" -ltn "sport = :$port" | grep -q LISTEN ||
        { grep -q '^enable_upnp=no' "$state/miniupnpd.conf" &&
          ss -N "$gateway" -lun "sport = :5351" | grep -q 5351; }; }; then
      return 0
    fi
    sleep 0.1
  done
  echo "lab.sh: miniupnpd did not start:" >&2
  cat "$state/miniupnpd.log" >&2
  return 1
}

# The chains the daemon adds its rules to; it does not create them itself. Rules outlive
# the daemon, so the table is made empty first. With IPv6 the gateway is a firewall as a
# home router's is: the WAN reaches the LAN over IPv6 only through the daemon's pinholes
# (its chain, which accepts them); IPv4 passes as in the plain lab, where the daemon's
# forwardings are the whole story.
filter_table() {
  local forward="type filter hook forward priority 0; policy accept;
    jump miniupnpd"
  if [ "$1" = 6 ]; then
    forward="type filter hook forward priority 0; policy drop;
    ct state established,related accept
    iifname \"br0\" oifname \"wan0\" accept
    jump miniupnpd
    meta nfproto ipv4 accept"
  fi
  cat <<NFT
table inet filter
flush table inet filter
table inet filter {
  chain miniupnpd {
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
  chain forward {
    $forward
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
  }
}
NFT
}

up() {
  local port=${1:-2869} igd=${2:-1} wan_address=${3:-$WAN_GW} family=${4:-4}
  local wan_peer=${wan_address%.*}.1
  down
  mkdir -p "$state"
  trap 'down' ERR
  printf 'netns add %s\n' "$client" "$gateway" "$wan" "$device" | ip -batch -
  # Bridged frames must not meet the gateway's IP filters, or its forward chain would take
  # the LAN's multicast too (the settings exist only where the kernel has bridge
  # netfilter: -e passes over them elsewhere).
  local settings=(net.bridge.bridge-nf-call-iptables=0 net.bridge.bridge-nf-call-ip6tables=0
                  net.bridge.bridge-nf-call-arptables=0)
  # A mapping is proven by a packet from the WAN host: the gateway must forward IPv4.
  if [ -n "${LAB_PORTMAP:-}" ]; then
    settings+=(net.ipv4.ip_forward=1)
  fi
  # IPv6 on the lab's links. Addresses skip duplicate detection, so that they serve at
  # once: the link-local ones too, which the daemon's searches and answers come from. Set
  # before any link is made, since a link takes its settings from the defaults.
  local no_dad=(net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0)
  ipv6_lines() { if [ "$family" = 6 ]; then printf '%s\n' "$@"; fi; }
  if [ "$family" = 6 ]; then
    settings+=("${no_dad[@]}" net.ipv6.conf.all.forwarding=1)
    for ns in "$client" "$wan" "$device"; do in_ns "$ns" sysctl -qw "${no_dad[@]}"; done
  fi
  in_ns "$gateway" sysctl -eqw "${settings[@]}"
  # Interface names are per namespace, so short fixed names serve every lab.
  {
    echo "link set lo up"
    echo "link add lan0 type veth peer name lan1 netns $gateway"
    echo "addr add $LAN_CLIENT/24 dev lan0"
    echo "link set lan0 up"
    echo "route add default via $LAN_GW"
    ipv6_lines "addr add $LAN6_CLIENT/64 dev lan0 nodad" "route add default via $LAN6_GW"
  } | ip_batch "$client"
  {
    echo "link set lo up"
    echo "link add dev0 type veth peer name dev1 netns $gateway"
    echo "addr add $LAN_DEVICE/24 dev dev0"
    echo "link set dev0 up"
    echo "route add default via $LAN_GW"
    ipv6_lines "addr add $LAN6_DEVICE/64 dev dev0 nodad" "route add default via $LAN6_GW"
  } | ip_batch "$device"
  # The switch: it floods multicast to every port, as a home router's does (no snooping,
  # no spanning tree to wait for).
  {
    echo "link set lo up"
    echo "link add br0 type bridge stp_state 0 forward_delay 0 mcast_snooping 0"
    echo "link set lan1 master br0"
    echo "link set dev1 master br0"
    echo "addr add $LAN_GW/24 dev br0"
    for link in lan1 dev1 br0; do echo "link set $link up"; done
    echo "link add wan0 type veth peer name wan1 netns $wan"
    echo "addr add $wan_address/24 dev wan0"
    echo "link set wan0 up"
    echo "route add default via $wan_peer"
    ipv6_lines "addr add $LAN6_GW/64 dev br0 nodad" "addr add $WAN6_GW/64 dev wan0 nodad" \
      "route add default via $WAN6_PEER"
  } | ip_batch "$gateway"
  {
    echo "link set lo up"
    echo "addr add $wan_peer/24 dev wan1"
    echo "link set wan1 up"
    ipv6_lines "addr add $WAN6_PEER/64 dev wan1 nodad" "route add 2001:db8:77::/64 via $WAN6_GW"
  } | ip_batch "$wan"
  loss_table lan0 in 0 | in_ns "$client" nft -f -
  { loss_table lan1 out 0; filter_table "$family"; } | in_ns "$gateway" nft -f -

  cat > "$state/miniupnpd.conf" <<CONF
ext_ifname=wan0
listening_ip=br0
port=$port
enable_upnp=$([ "${LAB_PORTMAP:-}" = only ] && echo no || echo yes)
enable_natpmp=$([ -n "${LAB_PORTMAP:-}" ] && echo yes || echo no)
secure_mode=no
system_uptime=yes
$([ -n "${LAB_MIN_LIFETIME:-}" ] && echo "min_lifetime=$LAB_MIN_LIFETIME")
$([ "$igd" = 1 ] && echo force_igd_desc_v1=yes)
$([ "$igd" = 2 ] && echo force_igd_desc_v1=no)
$([ "$family" = 6 ] && printf '%s\n' ext_ifname6=wan0 ipv6_disable=no)
friendly_name=Lab Gateway
model_number=2.3-lab
serial=LAB-0001
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1-65535 192.168.77.0/24 1-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  if start; then
    trap - ERR
    return 0
  fi
  down
  return 1
}

# Only the daemon this lab started: namespaces do not separate process IDs, so a match
# by name would reach every miniupnpd on the machine.
stop() {
  local pid
  pid=$(cat "$state/miniupnpd.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do  # bounded: 5 s
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "lab.sh: the daemon $pid did not stop" >&2
  return 1
}

case "$command" in
  up) up "$@" ;;
  up6) up "${1:-2869}" "${2:-2}" "$WAN_GW" 6 ;;
  stop) stop ;;
  start)
    # A rebooted router's table is empty: the daemon would take its rules back otherwise.
    for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd; do
      in_ns "$gateway" nft flush chain inet filter "$chain"
    done
    start
    ;;
  down) down ;;
  # exec: the caller's pid is the command's, so a caller that stops it (a server on
  # the third host, a run past its time) stops the command itself.
  client) exec ip netns exec "$client" "$@" ;;
  gateway) exec ip netns exec "$gateway" "$@" ;;
  device) exec ip netns exec "$device" "$@" ;;
  wan) exec ip netns exec "$wan" "$@" ;;
  loss) loss "$@" ;;
  counters) counters ;;
  vpn) vpn "$@" ;;
  *) echo "lab.sh: unknown command $command" >&2; exit 2 ;;
esac
