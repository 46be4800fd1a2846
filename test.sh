#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root), builds, and runs
# the whole suite with CTest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make libexpat1-dev libgtest-dev iproute2 strace python3
          procps miniupnpd-nftables nftables miniupnpc)
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

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build -j "$(nproc)"
cd build
ctest --output-on-failure -j 2 --timeout 300
