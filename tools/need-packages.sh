#!/usr/bin/env bash
# need-packages.sh GROUP...: installs the Debian packages of those groups of tools/packages
# that are missing (as root; apt's lists are refreshed only when something is missing).
# `need-packages.sh --list GROUP...` only prints them, one a line.
set -euo pipefail
list_only=no
if [ "${1:-}" = "--list" ]; then
  list_only=yes
  shift
fi
[ $# -gt 0 ] || { echo "usage: need-packages.sh [--list] GROUP..." >&2; exit 2; }
mapfile -t packages < <(awk -v wanted=" $* " '
  /^[[:space:]]*(#|$)/ { next }
  { for (i = 2; i <= NF; i++) if (index(wanted, " " $i " ")) { print $1; next } }
' "$(dirname "$0")/packages")
for group in "$@"; do
  grep -Eq "^[^#[:space:]]+[[:space:]].*\\<$group\\>" "$(dirname "$0")/packages" || {
    echo "need-packages.sh: no package in group '$group' of tools/packages" >&2
    exit 2
  }
done
if [ $list_only = yes ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
mapfile -t missing < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" \
                         2>/dev/null | awk '$1 == "ii" { print $2 }' |
                       sort | comm -13 - <(printf '%s\n' "${packages[@]}" | sort))
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
