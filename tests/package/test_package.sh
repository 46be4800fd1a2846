#!/usr/bin/env bash
# tests/package/test_package.sh BUILD: makes the Debian package of BUILD with cpack,
# installs it, checks what a user gets (the program on PATH, its help screen and exit
# status, the man page, the completion) and removes it again, checking that none of its
# files is left. Refuses to run where portwrangler is installed already.
set -euo pipefail
build=$(realpath "$1")
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "package: FAILED: $what" >&2
  fi
}

# The package is installed machine-wide: checkouts testing on one machine take turns.
exec {lock}>/run/lock/portwrangler-package-test.lock
if ! flock -w 600 "$lock"; then
  echo "package: another checkout's package test still runs after 600 s" >&2
  exit 1
fi
if dpkg -s portwrangler >/dev/null 2>&1; then
  echo "package: portwrangler is installed on this machine already; not touching it" >&2
  exit 1
fi
out=$(mktemp -d)
trap 'rm -rf "$out"; dpkg -r portwrangler >/dev/null 2>&1 || true' EXIT
if ! (cd "$build" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  exit 1
fi
version=$(cat "$build/VERSION")
deb="$out/portwrangler_${version}_$(dpkg --print-architecture).deb"
check "the package's file name" test -f "$deb"
check "Expat's runtime among its dependencies" \
  bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libexpat1 '"

dpkg -i "$deb" >/dev/null
installed=$(dpkg -L portwrangler)
check "the program on PATH" test "$(command -v portwrangler)" = /usr/bin/portwrangler
set +e
help=$(portwrangler -help)
status=$?
set -e
check "-help ends with exit status 1" test "$status" -eq 1
check "-help prints the help screen" test "$help" = "$("$build/portwrangler" -help)"
check "the man page" test "$(man -w portwrangler)" = /usr/share/man/man1/portwrangler.1
completion=$(bash -c '
  source /usr/share/bash-completion/completions/portwrangler
  complete -p portwrangler
  for line in "-list -p TCP" "-add" "-list -s"; do
    read -r -a COMP_WORDS <<< "portwrangler $line"
    COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _portwrangler
    echo "${COMPREPLY[*]}"
  done')
check "the completion" test "$completion" = "complete -F _portwrangler portwrangler
-ip -iport -eport -s
-q TCP UDP
Enabled Disabled"

dpkg -r portwrangler >/dev/null
left=()
while IFS= read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then left+=("$path"); fi
done <<< "$installed"
check "nothing left after removal (${left[*]:-})" test ${#left[@]} -eq 0
check "its documentation folder gone" test ! -e /usr/share/doc/portwrangler

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
