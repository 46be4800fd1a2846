#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root), builds, and runs
# the whole suite with CTest. Exits non-zero on any failure. Each phase ends with its time:
# the wall clock, and the processor time (user + system) of what it ran.
set -euo pipefail
cd "$(dirname "$0")"

tools/need-packages.sh build test fuzz windows wine package format

# The whole-run tests build network namespaces of their own: say so plainly if we cannot.
probe="pw-probe-$$"
if ! ip netns add "$probe" 2>/dev/null; then
  echo "test.sh: cannot create network namespaces (run as root on Linux); the tests need them." >&2
  exit 1
fi
ip netns del "$probe"

TIMEFORMAT="   %R s, processors %U s user + %S s system"
start=$SECONDS

echo "== every C++ file as the project's .clang-format writes it"
time tools/check-format.sh

echo "== the program as shipped, with its tests"
time {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
  cmake --build build -j "$(nproc)"
}

# The other two builds, made at a low priority while the plain build's tests run (the labs
# mostly wait on a real daemon and on lost packets), at one priority: the sanitized
# suite is the busier of the two that follow, the Windows build the larger, so neither
# may starve the other:
# - the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer (clang),
#   at -O1 with line tables only, as AddressSanitizer advises, the libFuzzer targets beside
#   them: one build for both;
# - the Windows program, cross-built, with its tests (see build-windows.sh).
sanitized_build() {
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DPORTWRANGLER_FUZZ=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
    >/dev/null
  cmake --build build-fuzz -j "$(nproc)"
}
windows_build() {
  ./build-windows.sh build-windows -DPORTWRANGLER_COMPARE_WITH="$PWD/build/portwrangler"
}
# A process and everything it started, deepest first, by their pids.
tree() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree "$child"; done
  echo "$1"
}
logs=$(mktemp -d)
declare -A phases=()
# A failing phase stops the run: the phases still going stop with it.
trap 'for job in "${phases[@]}"; do kill $(tree "$job") 2>/dev/null; done; rm -rf "$logs"' EXIT
# begin NAME NICENESS COMMAND...: the phase NAME started in the background, its output and
# its time kept for finish.
begin() {
  local name=$1 niceness=$2
  shift 2
  (renice -n "$niceness" -p $BASHPID >/dev/null && time "$@") >"$logs/$name" 2>&1 &
  phases[$name]=$!
}
# finish NAME TITLE: waits for the phase NAME at the usual priority; prints its title and
# time, and its output's end when it failed (which ends the run).
finish() {
  local name=$1 title=$2 job=${phases[$1]}
  renice -n 0 -p $(tree "$job") >/dev/null 2>&1 || true
  if ! wait "$job"; then
    unset "phases[$name]"
    tail -80 "$logs/$name" >&2
    echo "test.sh: $title failed" >&2
    exit 1
  fi
  unset "phases[$name]"
  echo "== $title"
  tail -1 "$logs/$name"
}

begin sanitized_build 10 sanitized_build
begin windows_build 10 windows_build

# The plain build runs what only it can: the unit tests, the real-daemon labs, valgrind on
# the program as shipped, and the package lists; the whole runs against the fake gateway
# are run once, sanitized (below), where they prove the same transcripts and more. Four
# at once on two cores: the labs mostly wait.
echo "== the plain build's tests: unit tests, labs, valgrind"
time (cd build && ctest --output-on-failure -j 4 --timeout 300 -LE fake_gateway)
echo "== the Debian package, installed and removed"
time tests/package/test_package.sh build

# The sanitized suite, the real-daemon labs aside (the plain build runs them; the unit
# tests and the whole runs against the fake gateway run the same code here), beside the
# Windows build's tests under Wine, which mostly wait on Wine and the network.
finish sanitized_build "the sanitized build, with the fuzz targets"
begin sanitized_suite 0 bash -c 'cd build-fuzz && ctest --output-on-failure -j 4 --timeout 300 -E "^lab_"'
finish windows_build "the Windows build"
begin wine_suite 0 bash -c 'cd build-windows && ctest --output-on-failure -j 3 --timeout 300'
finish wine_suite "the Windows build's tests, under Wine (beside the sanitized suite)"
echo "== every fuzz target for ${FUZZ_SECONDS:-5} s (beside the sanitized suite)"
time tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-5}"
finish sanitized_suite "the whole suite, sanitized"
echo "== all passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
