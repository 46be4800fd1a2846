#!/usr/bin/env bash
# tests/package/test_reproducible.sh: builds the release files of the last commit twice,
# with ./release.sh in two fresh clones in different folders, one after the other, under
# different umasks, time zones and locales, and compares them byte for byte. The programs
# in them must not hold the folder they were built in. About two minutes; not part of
# ./test.sh (CI runs it after).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
suite=reproducible
source "$(dirname "$0")/check.sh"
"$root/tools/need-packages.sh" build release  # release.sh installs the rest

work=$(mktemp -d /tmp/pw-reproducible-XXXXXX)
trap 'rm -rf "$work"' EXIT
release() {  # FOLDER UMASK TZ LOCALE
  git clone -q --no-local "$root" "$1"
  if ! (cd "$1" && umask "$2" && TZ=$3 LC_ALL=$4 ./release.sh) >"$1.log" 2>&1; then
    tail -40 "$1.log" >&2
    echo "reproducible: ./release.sh failed in $1" >&2
    exit 1
  fi
}
release "$work/one" 022 UTC C.UTF-8
release "$work/second-place" 002 Pacific/Auckland C

files=$(cd "$work/one/dist" && ls)
check "the same release files" test "$files" = "$(cd "$work/second-place/dist" && ls)"
for file in $files; do
  check "$file the same bytes" cmp "$work/one/dist/$file" "$work/second-place/dist/$file"
done

# What the programs hold: no folder of the build machine. When the packages differ, this
# tells where: in the programs, or in the files' list, modes or dates.
for clone in one second-place; do
  dist="$work/$clone/dist"
  dpkg-deb --contents "$dist"/portwrangler_*.deb >"$work/$clone.list"
  dpkg-deb --fsys-tarfile "$dist"/portwrangler_*.deb | tar -xO ./usr/bin/portwrangler \
    >"$work/$clone.program"
  python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("portwrangler.exe"))' \
    "$dist"/portwrangler-*-windows-x86_64.zip >"$work/$clone.exe"
  for program in "$work/$clone.program" "$work/$clone.exe"; do
    check "$(basename "$program") holds no build folder" \
      bash -c '! grep -a -q -F "$1" "$2"' _ "$work/$clone" "$program"
  done
done

listing=$(diff "$work/one.list" "$work/second-place.list") || true
check "the same files, modes and dates in the .deb:
$listing" test -z "$listing"
for program in program exe; do
  check "the same $program" cmp "$work/one.$program" "$work/second-place.$program"
done
summary
