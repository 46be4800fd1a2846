#!/usr/bin/env bash
# Builds the release files into dist/ (as root on Debian: it installs what it needs):
#   portwrangler_<version>-<revision>_<arch>.deb        the program, man page, completion
#   portwrangler-<version>-windows-x86_64.zip           portwrangler.exe, README and its
#                                                       docs/ pages, licences
# The version is the CMake project's, the revision the Debian changelog's.
#
# The files are reproducible: built from the same commit in any folder at any time, they
# are the same bytes (tests/package/test_reproducible.sh checks it). Every time stamp in
# them is SOURCE_DATE_EPOCH, by default the time of the last commit.
set -euo pipefail
cd "$(dirname "$0")"
tools/need-packages.sh build windows release

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
    echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH to the source's time" >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
# Nothing of an earlier configuration is kept; only the Windows build's Expat, which is
# built from Debian's source package, is not made again.
rm -rf build-release
if [ -d build-windows-release ]; then
  find build-windows-release -mindepth 1 -maxdepth 1 ! -name deps -exec rm -rf {} +
fi

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j "$(nproc)"
version=$(cat build-release/VERSION)
mkdir -p dist
(cd build-release && cpack -G DEB -B "$PWD/../dist" >/dev/null)
rm -rf dist/_CPack_Packages

./build-windows.sh build-windows-release -DBUILD_TESTING=OFF
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cp build-windows-release/portwrangler.exe "$staging/"
x86_64-w64-mingw32-strip "$staging/portwrangler.exe"  # as the package's program is
# Expat is linked into the program, and its licence asks for its notice to go with it.
expat_copying=$(find build-windows-release/deps/src -maxdepth 2 -name COPYING | head -n 1)
[ -n "$expat_copying" ] || { echo "release.sh: Expat's COPYING not found" >&2; exit 1; }
cp "$expat_copying" "$staging/LICENSE.expat"
zip="dist/portwrangler-$version-windows-x86_64.zip"
rm -f "$zip"
# The entries in a fixed order, dated SOURCE_DATE_EPOCH (in UTC), with fixed modes.
# The pages in C order, whatever the locale sorts a glob by.
mapfile -t pages < <(printf '%s\n' docs/*.md | LC_ALL=C sort)
python3 - "$zip" "$staging/portwrangler.exe" README.md "${pages[@]}" LICENSE "$staging/LICENSE.expat" <<'PY'
import os, sys, time, zipfile
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]  # >= 1980
with zipfile.ZipFile(sys.argv[1], "w") as archive:
    for path in sys.argv[2:]:
        # The README's pages keep their folder, so that its links lead to them.
        name = path if path.startswith("docs/") else os.path.basename(path)
        entry = zipfile.ZipInfo(name, stamp)
        entry.create_system = 3
        entry.external_attr = (0o100755 if path.endswith(".exe") else 0o100644) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(path, "rb") as f:
            archive.writestr(entry, f.read())
PY
ls -l dist/
