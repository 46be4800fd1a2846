#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root), builds, and runs
# the whole suite with CTest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make libexpat1-dev libgtest-dev iproute2 strace python3
          procps miniupnpd-nftables nftables miniupnpc valgrind clang libclang-rt-14-dev
          libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The whole-run tests build network namespaces of their own: say so plainly if we cannot.
probe="pw-probe-$$"
if ! ip netns add "$probe" 2>/dev/null; then
  echo "test.sh: cannot create network namespaces (run as root on Linux); the tests need them." >&2
  exit 1
fi
ip netns del "$probe"

# Three builds: the program as shipped; the same with AddressSanitizer and
# UndefinedBehaviorSanitizer; the libFuzzer targets (clang).
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build -j "$(nproc)"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
  -DPORTWRANGLER_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$(nproc)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF -DPORTWRANGLER_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)"

echo "== the whole suite"
(cd build && ctest --output-on-failure -j 2 --timeout 300)
echo "== the whole suite again, sanitized"
(cd build-sanitize && ctest --output-on-failure -j 2 --timeout 300)
echo "== every fuzz target for ${FUZZ_SECONDS:-5} s"
tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-5}"
