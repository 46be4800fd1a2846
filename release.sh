#!/usr/bin/env bash
# Builds the release files into dist/ (as root on Debian: it installs what it needs):
#   portwrangler_<version>_<arch>.deb                   the program, man page, completion
#   portwrangler-<version>-windows-x86_64.zip           portwrangler.exe, README, licence
# The version is the CMake project's.
set -euo pipefail
cd "$(dirname "$0")"
tools/need-packages.sh cmake g++ make libexpat1-dev unicode-data dpkg-dev python3

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j "$(nproc)"
version=$(cat build-release/VERSION)
mkdir -p dist
(cd build-release && cpack -G DEB -B "$PWD/../dist" >/dev/null)
rm -rf dist/_CPack_Packages

./build-windows.sh build-windows-release -DBUILD_TESTING=OFF
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cp build-windows-release/portwrangler.exe README.md LICENSE "$staging/"
x86_64-w64-mingw32-strip "$staging/portwrangler.exe"  # as the package's program is
zip="dist/portwrangler-$version-windows-x86_64.zip"
rm -f "$zip"
(cd "$staging" && python3 -m zipfile -c "$OLDPWD/$zip" portwrangler.exe README.md LICENSE)
ls -l dist/
