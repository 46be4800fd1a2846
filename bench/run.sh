#!/usr/bin/env bash
# Times `portwrangler -list` against a real router daemon (miniupnpd in a lab of network
# namespaces) beside upnpc, and against the fast fake gateway with its system calls
# counted; prints the tables and writes them to bench/results.md. As root, on Linux.
#
#   bench/run.sh            0, 10 and 100 entries on the daemon, up to 1000 on the fake
#                           gateway: about two minutes
#   bench/run.sh --quick    fewer sizes and runs: about a minute
#
# Exits 1 when a target in the last table is missed. The Google Benchmark of the
# per-entry parsing is build/bench/micro_bench.
#
#   bench/run.sh lossy [OPTION...]   the LAN sweep instead (bench/lossy.py): runs of
#                           `portwrangler -list` and `upnpc -l` with packets lost, beside
#                           chatty devices, behind a VPN; about 15 minutes. --runs N,
#                           --few N, --cases, --exe build-windows/portwrangler.exe
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/portwrangler ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target portwrangler
fi
script=bench/bench.py
if [ "${1:-}" = lossy ]; then
  script=bench/lossy.py
  shift
fi
PORTWRANGLER="$PWD/build/portwrangler" exec python3 "$script" "$@"
