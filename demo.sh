#!/usr/bin/env bash
# See it work, in a minute or so: installs what is missing (Debian, as root; the demo
# group of tools/packages), builds the program, brings up a lab with a real router daemon
# (miniupnpd, IGD 2 with its IPv6 firewall) in network namespaces, shows each capability
# in one step against it, and tears the lab down again. Two steps bring up a lab of their
# own: a router behind a provider's NAT, and one with UPnP off and NAT-PMP/PCP on.
#
#   ./demo.sh            every step, in order
#   ./demo.sh STEP...    those steps alone (the names are in `steps` below)
#   DEMO_BUILD=FOLDER    the program of that build folder, as it is (the suite's check)
#
# A step is a function step_NAME that says in one line what it shows (`shows`), then runs
# commands on the lab's client (`run`); adding one is a function and a word in `steps`.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

steps=(session json exit_status lease keep pinhole shared_address protocols hold diagnose)

tools/need-packages.sh build demo
if [ -n "${DEMO_BUILD:-}" ]; then
  build=$(realpath "$DEMO_BUILD")
else
  # A build folder of the demo's own unless the suite's is there: no tests to build.
  build=$root/build
  if [ ! -f "$build/CMakeCache.txt" ]; then
    build=$root/build-demo
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$build" --target portwrangler -j "$(nproc)" >/dev/null
fi

lab=pwdemo$$
lab_sh=tests/lab/lab.sh
python=/usr/bin/python3  # Debian's, with the modules the lab's helpers import
started=()  # pids of what the demo started in the background
# The commands on the client run here: the held set's files, and the NAT-PMP/PCP
# mappings' state (this host's secret and table), which stays out of the machine's own.
scratch=$(mktemp -d "/tmp/$lab.XXXXXX")
finish() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$lab_sh" down "$lab"
  "$lab_sh" down "${lab}n"
  "$lab_sh" down "${lab}p"
  rm -rf "$scratch"
}
trap finish EXIT
"$lab_sh" up6 "$lab" >/dev/null

bold=$'\033[1m' dim=$'\033[2m' plain=$'\033[0m'
[ -t 1 ] || bold='' dim='' plain=''
shows() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '%s   %s%s\n' "$dim" "$*" "$plain"; }
# on LAB COMMAND...: COMMAND on the lab's client, in the scratch folder, the program on PATH.
on() {
  local where=$1
  shift
  "$lab_sh" client "$where" env -C "$scratch" PATH="$build:$PATH" \
    PORTWRANGLER_STATE_DIR="$scratch/state" "$@"
}
# run [-l LAB] COMMAND: prints it, then runs it as a shell command on the lab's client.
# Its status is the demo's to read: it never stops the demo.
run() {
  local where=$lab
  if [ "$1" = -l ]; then where=$2; shift 2; fi
  prompt "$1"
  on "$where" bash -c "$1" || true
}
# quiet COMMAND: its output alone, for the demo's own use.
quiet() { on "$lab" bash -c "$1"; }
# prompt COMMAND: prints a command the demo runs itself (in the background, or here).
prompt() { printf '%s$ %s%s\n' "$bold" "$1" "$plain"; }
# listen LAB PORT: a listener on the lab's client (its pid in `listening`), ready when
# this returns; it answers on IPv6 and IPv4 for at most a minute.
listen() {
  local ready=$scratch/listening-$1-$2
  "$python" tests/lab/pinholes.py listen "$1" "$2" 60 >"$ready" &
  listening=$!
  started+=("$listening")
  for _ in $(seq 1 100); do  # bounded: 10 s
    grep -qx ready "$ready" && return 0
    sleep 0.1
  done
  note "(the listener did not start)"
}
unlisten() {
  kill "$listening"
  wait "$listening" 2>/dev/null || true
}
# probe LAB PORT [ADDRESS LISTENER]: what a connect from the WAN host meets: "answered"
# by the listener, "refused" or "dropped" (tests/lab/pinholes.py).
probe() { "$python" tests/lab/pinholes.py probe "$@"; }

step_session() {
  shows "The first release's commands: help, add, list, search, a clash, statistics, remove"
  run 'portwrangler -help'
  run 'portwrangler -add TCP 80 8080 "Web server"'
  run 'portwrangler -add UDP -ip 192.168.77.9 5000 5000 "Game server"'
  run 'portwrangler -list'
  run 'portwrangler -list -p tcp -s enabled'
  run 'portwrangler -add TCP 80 8080 "Web server again"'
  run 'portwrangler -stats'
  run 'portwrangler -remove TCP 8080'
  run 'portwrangler -list'
}

step_json() {
  shows "--json: one document per run, for scripts (here read by jq)"
  run "portwrangler --json -list | jq -c '.entries[] | {id, protocol, external_port, internal_client, description}'"
  run "portwrangler --json -stats | jq -c '{external: .router.external_address, statistics}'"
}

step_exit_status() {
  shows "--exit-status: a script tells done (0) from a taken port (4) and no router (3)"
  run 'portwrangler --exit-status -add TCP 22 2222 ssh >/dev/null; echo "status $?"'
  run 'if portwrangler --exit-status -add UDP 27015 5000 game >/dev/null; then echo added
else echo "not added, status $?: another host holds UDP 5000"; fi'
  run 'portwrangler --exit-status --url http://192.168.77.1:9/rootDesc.xml -list >/dev/null; echo "status $?"'
  run 'portwrangler --exit-status -remove TCP 2222 >/dev/null && echo removed'
}

step_lease() {
  shows "--lease: the forwarding expires; the lease the router granted is read back"
  run 'portwrangler --lease 600 -add TCP 443 8443 "For ten minutes"'
  run "portwrangler --json -list -eport 8443 | jq -c '.entries[] | {external_port, lease_seconds}'"
  run 'portwrangler -remove -q TCP 8443 >/dev/null'
}

step_keep() {
  shows "--keep: a forwarding held through a router restart (one event line each)"
  prompt 'portwrangler --keep --lease 4 -add TCP 22 2222 ssh >/dev/null &'
  "$lab_sh" client "$lab" "$build/portwrangler" --keep --lease 4 -add TCP 22 2222 ssh \
    >/dev/null &
  local keeper=$!
  started+=("$keeper")
  sleep 3  # the add and one renewal (at half the lease)
  note "the router restarts, its table empty"
  "$lab_sh" stop "$lab"
  "$lab_sh" start "$lab"
  local tries=0
  until quiet 'portwrangler --json -list -eport 2222 | jq -e ".matches == 1" >/dev/null'; do
    tries=$((tries + 1))
    [ $tries -lt 20 ] || { note "(not back after 20 s)"; break; }
    sleep 1
  done
  note "the keeper is stopped (SIGTERM): it removes the forwarding"
  kill -TERM "$keeper"
  wait "$keeper" || true
}

step_pinhole() {
  shows "IPv6 pinholes: the WAN reaches [2001:db8:77::2]:5000 while the pinhole is open"
  listen "$lab" 5000
  note "a connect from the internet: $(probe "$lab" 5000)"
  run 'portwrangler -pinhole -status'
  prompt 'portwrangler --json -pinhole -add TCP 5000 600 | jq -c .pinhole'
  local added id
  added=$(quiet 'portwrangler --json -pinhole -add TCP 5000 600') || true
  jq -c .pinhole <<<"$added"
  id=$(jq -r .pinhole.id <<<"$added")
  note "a connect from the internet: $(probe "$lab" 5000)"
  run "portwrangler -pinhole -remove $id"
  note "a connect from the internet: $(probe "$lab" 5000)"
  unlisten
}

step_shared_address() {
  shows "Behind a provider's NAT (a WAN address in 100.64.0.0/10): the list works, and says why nothing is reachable"
  "$lab_sh" up "${lab}n" 2869 1 100.64.0.2 >/dev/null
  run -l "${lab}n" "portwrangler --json -list | jq -c '.router | {external_address, reachable_from_internet}'"
}

step_protocols() {
  shows "--protocol auto: a router with UPnP off and NAT-PMP/PCP on; the mapping made through PCP"
  LAB_PORTMAP=only "$lab_sh" up "${lab}p" >/dev/null
  listen "${lab}p" 22
  run -l "${lab}p" 'portwrangler -add TCP 22 2222 ssh'
  note "a connect from the internet to 80.81.82.2:2222: $(probe "${lab}p" 2222 80.81.82.2 22)"
  run -l "${lab}p" 'portwrangler --protocol auto -add TCP 22 2222 ssh'
  note "a connect from the internet to 80.81.82.2:2222: $(probe "${lab}p" 2222 80.81.82.2 22)"
  note "NAT-PMP's own client (natpmpc) asks the same router for its address:"
  run -l "${lab}p" 'natpmpc -g 192.168.77.1 | grep "Public IP"'
  run -l "${lab}p" 'portwrangler --protocol auto -remove TCP 2222'
  note "a connect from the internet to 80.81.82.2:2222: $(probe "${lab}p" 2222 80.81.82.2 22)"
  unlisten
}

# hold_said N: what the holder said since the last call (its events and its hook's
# output), once its hook has run N times in all (bounded: 20 s).
hold_said() {
  local log=$scratch/hold.log
  for _ in $(seq 1 200); do
    [ "$(grep -c '^hook: ' "$log")" -lt "$1" ] || break
    sleep 0.1
  done
  tail -n "+$((said + 1))" "$log"
  said=$(wc -l <"$log")
}

step_hold() {
  shows "--hold: a set held from one file; a hook told of each change; SIGHUP reloads, SIGTERM removes"
  cat >"$scratch/hold.conf" <<'CONF'
# SSH, and a game server on TCP and UDP
-add TCP 22 2222 ssh
-add TCP 27015 27015 "game server"
-add UDP 27015 27015 "game server"
CONF
  cat >"$scratch/hook.sh" <<'HOOK'
#!/bin/sh
# What a service is told of a change: the PORTWRANGLER_* variables, on one line.
env | grep '^PORTWRANGLER_' | sed 's/^PORTWRANGLER_//' | sort | paste -sd ' '
HOOK
  chmod +x "$scratch/hook.sh"
  run 'cat hold.conf; cat hook.sh'
  prompt 'portwrangler --hold hold.conf --status-file status.json --on-change ./hook.sh &'
  # Not through `on`: lab.sh and env exec, so that $! is the holder itself.
  "$lab_sh" client "$lab" env -C "$scratch" "$build/portwrangler" --hold hold.conf \
    --status-file status.json --on-change ./hook.sh 2>"$scratch/hold.log" &
  local holder=$!
  started+=("$holder")
  said=0  # lines of the holder's log shown so far
  hold_said 3
  run "jq -c '.entries[] | {protocol, external_port, state, lease_seconds}' status.json"
  prompt "echo '-add TCP 8080 8080 web' >>hold.conf; kill -HUP $holder"
  echo '-add TCP 8080 8080 web' >>"$scratch/hold.conf"
  kill -HUP "$holder"
  hold_said 4
  note "the three lines already held were left alone; now the holder is stopped"
  prompt "kill -TERM $holder"
  kill -TERM "$holder"
  local status=0
  wait "$holder" || status=$?
  hold_said 8
  note "the holder ended with status $status"
  run "portwrangler --json -list | jq -c '[.entries[].external_port]'"
}

step_diagnose() {
  shows "-diagnose: why a port is open or not: the routers found, double NAT, the entry, its listener"
  listen "$lab" 22
  run 'portwrangler -add TCP 22 2222 ssh >/dev/null'
  run 'portwrangler -diagnose TCP 2222'
  run 'portwrangler -remove TCP 2222 >/dev/null'
  run "portwrangler --json -diagnose TCP 2222 | jq -r '.advice[-1] | .finding, \"-> \" + .next_step'"
  unlisten
}

chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=("${steps[@]}")
for name in "${chosen[@]}"; do
  if ! declare -F "step_$name" >/dev/null; then
    echo "demo.sh: no step '$name' (steps: ${steps[*]})" >&2
    exit 2
  fi
  "step_$name"
done
