#!/usr/bin/env bash
# A throwaway UPnP lab inside network namespaces: a client host and a gateway host joined
# by a veth pair (the LAN), and a WAN host behind a second veth pair. The gateway runs
# miniupnpd (nftables backend). Nothing has a route out of the lab.
#
#   lab.sh up NAME [HTTP_PORT] [IGD_VERSION]
#                                build the lab NAME and start the daemon, describing
#                                itself as IGD version 1 (default) or 2
#   lab.sh stop NAME             stop the lab's daemon (by the pid the lab keeps), and
#                                wait until it is gone
#   lab.sh down NAME             tear it all down (also after a failure; never fails)
#   lab.sh client NAME CMD...    run CMD on the client host
#   lab.sh gateway NAME CMD...   run CMD on the gateway host
#
# Addresses: LAN 192.168.77.0/24 (gateway .1, client .2). The WAN address must be one the
# daemon does not count as private or reserved, or it refuses to map; 80.81.82.0/24 stands
# in for the internet here and never leaves the lab.
set -euo pipefail

LAN_GW=192.168.77.1
LAN_CLIENT=192.168.77.2
WAN_GW=80.81.82.2
WAN_PEER=80.81.82.1

command=${1:?usage: lab.sh up|down|client|gateway NAME ...}
name=${2:?lab name}
shift 2
client="$name-client"
gateway="$name-gw"
wan="$name-wan"
state="/tmp/$name.lab"

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

down() {
  if [ -f "$state/miniupnpd.pid" ]; then
    kill "$(cat "$state/miniupnpd.pid")" 2>/dev/null || true
  fi
  for ns in "$client" "$gateway" "$wan"; do
    if ip netns list | grep -qw "^$ns"; then
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
  rm -rf "$state"
}

up() {
  local port=${1:-2869} igd=${2:-1}
  down
  mkdir -p "$state"
  trap 'down' ERR
  for ns in "$client" "$gateway" "$wan"; do
    ip netns add "$ns"
    in_ns "$ns" ip link set lo up
  done
  # Interface names are per namespace, so short fixed names serve every lab.
  ip link add lan0 netns "$client" type veth peer name lan1 netns "$gateway"
  ip link add wan0 netns "$gateway" type veth peer name wan1 netns "$wan"
  in_ns "$client" ip addr add "$LAN_CLIENT/24" dev lan0
  in_ns "$client" ip link set lan0 up
  in_ns "$client" ip route add default via "$LAN_GW"
  in_ns "$gateway" ip addr add "$LAN_GW/24" dev lan1
  in_ns "$gateway" ip link set lan1 up
  in_ns "$gateway" ip addr add "$WAN_GW/24" dev wan0
  in_ns "$gateway" ip link set wan0 up
  in_ns "$gateway" ip route add default via "$WAN_PEER"
  in_ns "$wan" ip addr add "$WAN_PEER/24" dev wan1
  in_ns "$wan" ip link set wan1 up

  # The daemon adds its rules to these chains; it does not create them itself.
  in_ns "$gateway" nft -f - <<'NFT'
table inet filter {
  chain miniupnpd {
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
  chain forward {
    type filter hook forward priority 0; policy accept;
    jump miniupnpd
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

  cat > "$state/miniupnpd.conf" <<CONF
ext_ifname=wan0
listening_ip=lan1
port=$port
enable_upnp=yes
enable_natpmp=no
secure_mode=no
system_uptime=yes
$([ "$igd" = 1 ] && echo force_igd_desc_v1=yes)
friendly_name=Lab Gateway
model_number=2.3-lab
serial=LAB-0001
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1-65535 192.168.77.0/24 1-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  # A plain command, not the in_ns function, so that $! is the daemon itself: `ip netns
  # exec` execs it, where a function would run in a subshell of its own.
  ip netns exec "$gateway" miniupnpd -d -f "$state/miniupnpd.conf" -P "$state/daemon.pid" \
    >"$state/miniupnpd.log" 2>&1 &
  echo $! > "$state/miniupnpd.pid"
  # Ready once its HTTP port listens (bounded: 10 s).
  for _ in $(seq 1 100); do
    if in_ns "$gateway" ss -ltn "sport = :$port" | grep -q LISTEN; then
      trap - ERR
      return 0
    fi
    sleep 0.1
  done
  echo "lab.sh: miniupnpd did not start:" >&2
  cat "$state/miniupnpd.log" >&2
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
  stop) stop ;;
  down) down ;;
  client) in_ns "$client" "$@" ;;
  gateway) in_ns "$gateway" "$@" ;;
  *) echo "lab.sh: unknown command $command" >&2; exit 2 ;;
esac
