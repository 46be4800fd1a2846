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
# The machine's processor time in seconds, from /proc/stat: everything run on it, what no
# phase waits for included (Wine's session processes, the kernel's own work), which the
# phases' own times leave out.
machine_busy() {
  awk -v hz="$(getconf CLK_TCK)" '$1 == "cpu" { printf "%d\n", ($2 + $3 + $4 + $7 + $8) / hz }' \
    /proc/stat
}
start=$SECONDS
busy=$(machine_busy)

echo "== every C++ file as the project's .clang-format writes it"
time tools/check-format.sh

# Three builds, begun together, and each goes straight on to its own tests. The plain and
# Windows builds at the usual priority: their tests are the longest to wait through (the
# labs on a real daemon and on lost packets, Wine on itself and the network) and leave
# processors free, which the sanitized build, at a low priority until it is built, takes:
# - the program as shipped (`build/`), with its tests: its unit tests, the real-daemon
#   labs, valgrind on the program, the grammar's neighbourhood, the package lists, and
#   then the Debian package; the whole runs against the fake gateway are run once,
#   sanitized, where they prove the same transcripts and more;
# - the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   (clang), unoptimised with line tables only (the build is the suite's long pole, and
#   -O0 compiles in half the time of -O1; the sanitizers find the same faults, the tests
#   and the fuzz targets' fixed times run a little slower), the libFuzzer targets beside
#   them: one build for both; then that suite (the real-daemon labs aside:
#   the plain build runs them, and the whole runs against the fake gateway run the same
#   code here), and every fuzz target beside it;
# - the Windows program, cross-built, with its tests (see build-windows.sh); then its
#   tests under Wine.
# The plain build keeps line tables only (-g1): the code is the same as with full debug
# information, the package strips it anyway, and a backtrace still names file and line.
plain_build() {
  tools/configure.sh build -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
  cmake --build build -j "$(nproc)"
}
# The sanitized build is made a few files to a compile (CMake's unity build), which reads
# the headers once for each: a build for the tests only, where the plain build proves each
# file compiles alone.
sanitized_build() {
  CC=clang CXX=clang++ tools/configure.sh build-fuzz -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DPORTWRANGLER_FUZZ=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O0 -g1" \
    -DCMAKE_UNITY_BUILD=ON
  cmake --build build-fuzz -j "$(nproc)"
}
# A few files to a compile, as the sanitized build: the plain build proves each file
# compiles alone, and the platform files are compiled alone here too.
windows_build() {
  ./build-windows.sh build-windows -DPORTWRANGLER_COMPARE_WITH="$PWD/build/portwrangler" \
    -DCMAKE_UNITY_BUILD=ON
}
# step TITLE COMMAND...: runs one phase, its title before it and its time after it. Timed
# in a subshell of its own: the main shell reaps a chain begun in the background when it
# ends, and that chain's processor time would count in the phase it was timing then.
step() {
  local title=$1
  shift
  echo "== $title"
  (time "$@")
}
# The build at a low priority, then its tests at the usual one.
sanitized_chain() {
  renice -n 10 -p $BASHPID >/dev/null
  step "the sanitized build, with the fuzz targets" sanitized_build
  renice -n 0 -p $BASHPID >/dev/null
  # The fuzz targets beside the suite, which mostly waits on its runs' timers: each target
  # runs for a fixed time, in what the suite leaves, rather than in 45 s of their own at
  # the end of the run (the suite takes about 10 s more; the targets get through about
  # half the inputs they would alone). Their output follows the suite's.
  step "every fuzz target for ${FUZZ_SECONDS:-5} s, the seven newest ${FUZZ_NEWEST_SECONDS:-3} s, beside it" \
    env FUZZ_NEWEST_SECONDS="${FUZZ_NEWEST_SECONDS:-3}" \
    tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-5}" >"$logs/fuzz" 2>&1 &
  local fuzz=$!
  local suite=0
  step "the whole suite, sanitized" \
    bash -c 'cd build-fuzz && ctest --output-on-failure -j 4 --timeout 300 -E "^lab_"' || suite=$?
  local fuzzed=0
  wait "$fuzz" || fuzzed=$?
  cat "$logs/fuzz"
  if [ "$suite" -ne 0 ]; then
    echo "== the whole suite, sanitized (its output is above the fuzz targets')"
    return "$suite"
  fi
  return "$fuzzed"
}
windows_chain() {
  step "the Windows build" windows_build
  # They compare it with the plain build's program, built by then (the Windows build is
  # the larger); a run whose plain build failed has ended the chain before this is spent.
  local waited=0
  until [ -f "$logs/plain-built" ]; do
    [ $((waited += 1)) -le 1800 ] || { echo "test.sh: no plain build after 30 min" >&2; return 1; }
    sleep 1
  done
  # Six at once: they mostly wait on Wine and the network.
  step "the Windows build's tests, under Wine" \
    bash -c 'cd build-windows && ctest --output-on-failure -j 6 --timeout 300'
}
# A process and everything it started, deepest first, by their pids.
tree() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree "$child"; done
  echo "$1"
}
logs=$(mktemp -d)
declare -A chains=()
# A failing phase stops the run: the phases still going stop with it.
trap 'for job in "${chains[@]}"; do kill $(tree "$job") 2>/dev/null; done; rm -rf "$logs"' EXIT
# begin NAME FUNCTION: the chain FUNCTION started in the background, its output kept.
begin() {
  "$2" >"$logs/$1" 2>&1 &
  chains[$1]=$!
}
# finish NAME: waits for the chain NAME; prints each of its phases' titles and times, and
# its output's end when it failed (which ends the run).
finish() {
  local name=$1 job=${chains[$1]}
  if ! wait "$job"; then
    unset "chains[$name]"
    tail -80 "$logs/$name" >&2
    echo "test.sh: $(grep '^== ' "$logs/$name" | tail -1 | cut -c4-) failed" >&2
    exit 1
  fi
  unset "chains[$name]"
  grep -E '^(== |   [0-9.]+ s, processors)' "$logs/$name"
}

begin sanitized sanitized_chain
begin windows windows_chain
step "the program as shipped, with its tests" plain_build
touch "$logs/plain-built"
# Four tests at once on two cores: the labs mostly wait.
step "the plain build's tests: unit tests, labs, valgrind, the grammar's neighbourhood" \
  bash -c 'cd build && ctest --output-on-failure -j 4 --timeout 300 -LE fake_gateway'
step "the Debian package, installed and removed" tests/package/test_package.sh build
finish sanitized
finish windows
echo "== all passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
echo "   the machine's processors busy $(($(machine_busy) - busy)) s of the" \
  "$(((SECONDS - start) * $(nproc))) s its $(nproc) gave"
