#!/usr/bin/env bash
# Cross-builds portwrangler.exe for 64-bit Windows on this Debian machine: one static
# program (libstdc++, libgcc and Expat linked in) that runs as it is on Windows 10/11.
#
#   ./build-windows.sh [BUILD_DIR [CMAKE_OPTION...]]
#                          BUILD_DIR defaults to build-windows/; the program is
#                          BUILD_DIR/portwrangler.exe
#
# Installs what it needs (Debian packages, as root). Expat is built from Debian's own
# source package, fetched through apt with Debian's patches applied; apt is pointed at
# a private list in BUILD_DIR (source entries made from this machine's package entries),
# so the machine's apt configuration is not changed. The unit tests are cross-built too,
# from Debian's GoogleTest sources; `ctest` in BUILD_DIR runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
out=$(realpath -m "${1:-build-windows}")
extra=("${@:2}")

tools/need-packages.sh build windows

toolchain="$root/cmake/mingw-w64-x86_64.cmake"
deps="$out/deps"
expat="$deps/prefix"

fetch_expat_source() {
  local apt_dir="$deps/apt"
  rm -rf "$apt_dir" "$deps/src"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$deps/src"
  # The machine's own package entries, as source entries.
  : > "$apt_dir/sources.list"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >> "$apt_dir/sources.list"
  fi
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" > "$apt_dir/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb \(.*\)/deb-src \1/p' "$f" > "$apt_dir/parts/$(basename "$f")"
  done
  local options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
                 -o "Dir::Etc::SourceParts=$apt_dir/parts"
                 -o "Dir::State::Lists=$apt_dir/lists"
                 -o "Dir::Cache=$apt_dir/cache")
  apt-get "${options[@]}" update -qq
  # The newest version whose files the archive serves (an index can list a security
  # update before its files reach the mirror). apt-get source unpacks with dpkg-source,
  # which applies Debian's patches.
  local version
  for version in $(apt-cache "${options[@]}" showsrc expat | sed -n 's/^Version: //p' | sort -rV); do
    if (cd "$deps/src" && apt-get "${options[@]}" source -qq "expat=$version" >/dev/null 2>&1); then
      echo "expat $version from Debian's source package"
      return 0
    fi
    rm -rf "${deps:?}/src" && mkdir -p "$deps/src"
  done
  echo "build-windows.sh: no version of Debian's expat source could be fetched" >&2
  return 1
}

# The toolchain file holds the flags: when it changes, Expat and the build are made anew.
stamp=$(sha256sum "$toolchain" | cut -d " " -f 1)
if [ "$(cat "$out/toolchain.sha256" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$expat" "$deps/expat-build" "$out/CMakeCache.txt"
fi
if [ ! -f "$expat/lib/libexpat.a" ]; then
  fetch_expat_source
  source_dir=$(find "$deps/src" -maxdepth 1 -type d -name 'expat-*' | head -n 1)
  [ -n "$source_dir" ] || { echo "build-windows.sh: no expat source unpacked" >&2; exit 1; }
  # The library lives in the expat/ folder of some source trees, at the top of others.
  [ -f "$source_dir/CMakeLists.txt" ] || source_dir="$source_dir/expat"
  # Debian builds with autoconf, which defines XML_DTD and XML_NS as 1, and its security
  # patches test "#if XML_DTD == 1"; CMake's template defines them empty. Give them the
  # value Debian's own build gives.
  sed -i 's/^#cmakedefine \(XML_DTD\|XML_NS\)$/#cmakedefine \1 1/' "$source_dir/expat_config.h.cmake"
  rm -rf "$deps/expat-build"
  tools/configure.sh "$deps/expat-build" -S "$source_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$expat" -DEXPAT_SHARED_LIBS=OFF \
    -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
    -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF
  cmake --build "$deps/expat-build" -j "$(nproc)" >/dev/null
  cmake --install "$deps/expat-build" >/dev/null
fi
echo "$stamp" >"$out/toolchain.sha256"

# nlohmann-json is header-only: Debian's own headers (nlohmann-json3-dev), seen through a
# folder that holds them alone, so that no other header of the machine's /usr/include
# reaches the cross compiler.
json_headers="$deps/json-include"
mkdir -p "$json_headers"
ln -sfn /usr/include/nlohmann "$json_headers/nlohmann"

tools/configure.sh "$out" -S "$root" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DEXPAT_INCLUDE_DIR="$expat/include" -DEXPAT_LIBRARY="$expat/lib/libexpat.a" \
  -DNLOHMANN_JSON_INCLUDE_DIR="$json_headers" \
  -DBUILD_TESTING=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tests/windows/wine-run;$out/wine" \
  "${extra[@]}"
cmake --build "$out" -j "$(nproc)"
echo "built $out/portwrangler.exe"
