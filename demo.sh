#!/usr/bin/env bash
# See it work: installs what is missing (Debian, as root), builds, brings up a lab with a
# real router daemon (miniupnpd) in network namespaces, runs a short session against it,
# and tears the lab down again.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make libexpat1-dev python3 unicode-data libgtest-dev iproute2 procps miniupnpd-nftables nftables)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target portwrangler -j "$(nproc)" >/dev/null

lab=pwdemo
trap 'tests/lab/lab.sh down "$lab"' EXIT
tests/lab/lab.sh up "$lab"

step() {
  printf '\n\033[1m$ portwrangler %s\033[0m\n' "$*"
  tests/lab/lab.sh client "$lab" build/portwrangler "$@" || true  # every run exits 1
}

step -help
step -add TCP 80 8080 "Web server"
step -add UDP -ip 192.168.77.9 5000 5000 "Game server"
step -list
step -list -p tcp -s enabled
step -add TCP 80 8080 "Web server again"
step -stats
step -remove TCP 8080
step -list
