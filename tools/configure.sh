#!/usr/bin/env bash
# configure.sh BUILD_DIR CMAKE_ARGUMENT...: configures BUILD_DIR to be built with Ninja,
# which starts each compile with less of its own work than make does. A folder configured
# earlier for another generator is configured anew: CMake cannot change a folder's
# generator. Quiet unless CMake fails.
set -euo pipefail
dir=${1:?usage: configure.sh BUILD_DIR CMAKE_ARGUMENT...}
shift
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
cmake -G Ninja -B "$dir" "$@" >/dev/null
