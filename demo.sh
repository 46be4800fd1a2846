#!/usr/bin/env bash
# See it work, in about a minute: installs what is missing (Debian, as root; the demo
# group of tools/packages), builds the program, brings up a lab with a real router daemon
# (miniupnpd, IGD 2 with its IPv6 firewall) in network namespaces, shows each capability
# in one step against it, and tears the lab down again.
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

steps=(session json exit_status lease keep pinhole shared_address)

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
started=()  # pids of what the demo started in the background
finish() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$lab_sh" down "$lab"
  "$lab_sh" down "${lab}n"
}
trap finish EXIT
"$lab_sh" up6 "$lab" >/dev/null

bold=$'\033[1m' dim=$'\033[2m' plain=$'\033[0m'
[ -t 1 ] || bold='' dim='' plain=''
shows() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '%s   %s%s\n' "$dim" "$*" "$plain"; }
# run [-l LAB] COMMAND: prints it, then runs it as a shell command on the lab's client,
# with the program on PATH. Its status is the demo's to read: it never stops the demo.
run() {
  local on=$lab
  if [ "$1" = -l ]; then on=$2; shift 2; fi
  printf '%s$ %s%s\n' "$bold" "$1" "$plain"
  "$lab_sh" client "$on" env PATH="$build:$PATH" bash -c "$1" || true
}
# quiet COMMAND: its output alone, for the demo's own use.
quiet() { "$lab_sh" client "$lab" env PATH="$build:$PATH" bash -c "$1"; }

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
  printf '%s$ portwrangler --keep --lease 4 -add TCP 22 2222 ssh >/dev/null &%s\n' "$bold" "$plain"
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
  coproc listener { python3 tests/lab/pinholes.py listen "$lab" 5000 60; }
  started+=("$listener_PID")
  local ready=''
  read -r -t 10 -u "${listener[0]}" ready || true
  [ "$ready" = ready ] || note "(the listener did not start)"
  note "a connect from the internet: $(python3 tests/lab/pinholes.py probe "$lab" 5000)"
  run 'portwrangler -pinhole -status'
  printf '%s$ portwrangler --json -pinhole -add TCP 5000 600 | jq -c .pinhole%s\n' "$bold" "$plain"
  local added id
  added=$(quiet 'portwrangler --json -pinhole -add TCP 5000 600') || true
  jq -c .pinhole <<<"$added"
  id=$(jq -r .pinhole.id <<<"$added")
  note "a connect from the internet: $(python3 tests/lab/pinholes.py probe "$lab" 5000)"
  run "portwrangler -pinhole -remove $id"
  note "a connect from the internet: $(python3 tests/lab/pinholes.py probe "$lab" 5000)"
}

step_shared_address() {
  shows "Behind a provider's NAT (a WAN address in 100.64.0.0/10): the list works, and says why nothing is reachable"
  "$lab_sh" up "${lab}n" 2869 1 100.64.0.2 >/dev/null
  run -l "${lab}n" "portwrangler --json -list | jq -c '.router | {external_address, reachable_from_internet}'"
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
