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

# The other two builds, made at a low priority while the whole suite runs (its runs mostly
# wait on the network: searches, lost packets, a silent router's 10 s), at the usual one
# once it is done:
# - the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer (clang),
#   at -O1 with line tables only, as AddressSanitizer advises, the libFuzzer targets beside
#   them: one build for both;
# - the Windows program, cross-built, with its tests (see build-windows.sh).
other_builds() {
  echo "== the sanitized build, with the fuzz targets"
  time {
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=ON -DPORTWRANGLER_FUZZ=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
      >/dev/null
    cmake --build build-fuzz -j "$(nproc)"
  }
  echo "== the Windows build"
  time ./build-windows.sh build-windows -DPORTWRANGLER_COMPARE_WITH="$PWD/build/portwrangler"
}
# A process and everything it started, deepest first, by their pids.
tree() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree "$child"; done
  echo "$1"
}
builds_log=$(mktemp)
builds=
# A failing phase stops the run: the builds still going stop with it.
trap '[ -z "$builds" ] || kill $(tree "$builds") 2>/dev/null; rm -f "$builds_log"' EXIT
(renice -n 10 -p $BASHPID >/dev/null && other_builds) >"$builds_log" 2>&1 &
builds=$!

# Four at once on two cores: the whole runs spend most of their time waiting.
echo "== the whole suite"
time (cd build && ctest --output-on-failure -j 4 --timeout 300)

echo "== (waiting for the other builds)"
renice -n 0 -p $(tree "$builds") >/dev/null 2>&1 || true
if ! time wait "$builds"; then
  builds=
  tail -60 "$builds_log" >&2
  echo "test.sh: the sanitized or the Windows build failed" >&2
  exit 1
fi
builds=
grep -E '^(==|   [0-9.]+ s, processors)' "$builds_log"

# The real-daemon labs run in the plain build: under the sanitizers the same code is run
# by the unit tests and the whole runs against the fake gateway. So is the package check.
echo "== the whole suite again, sanitized"
time (cd build-fuzz && ctest --output-on-failure -j 4 --timeout 300 -E '^lab_')
echo "== every fuzz target for ${FUZZ_SECONDS:-5} s"
time tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-5}"
# The Windows program: its unit tests and whole runs under Wine, beside the Linux program's.
echo "== the Windows build's tests, under Wine"
time (cd build-windows && ctest --output-on-failure -j 3 --timeout 300)
echo "== the Debian package, installed and removed"
time tests/package/test_package.sh build
echo "== all passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
