#!/usr/bin/env bash
# tests/package/test_package.sh BUILD: makes the Debian package of BUILD with cpack,
# checks it with lintian, installs it, checks what a user gets (the program on PATH,
# hardened, its help screen and exit status, the man page, the completion under any IFS
# and shell options) and removes it again, checking that none of its files is left.
# Refuses to run where portwrangler is installed already.
set -euo pipefail
build=$(realpath "$1")
suite=package
source "$(dirname "$0")/check.sh"
"$(dirname "$0")/../../tools/need-packages.sh" build package

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
debs=("$out/portwrangler_$version"-*_"$(dpkg --print-architecture)".deb)
check "one package, named for the version, its revision and the architecture" \
  test ${#debs[@]} -eq 1 -a -f "${debs[0]}"
deb=${debs[0]}
check "Expat's runtime among its dependencies" \
  bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libexpat1 '"
# Every tag lintian has, down to the pedantic ones (it warns on stderr that it runs as
# root, so stderr is shown only when it fails).
lintian=$(lintian --display-info --pedantic --fail-on error,warning,info,pedantic "$deb" \
  2>"$out/lintian.err") && linted=yes || linted=no
check "lintian finds nothing:
$lintian$(test $linted = yes || cat "$out/lintian.err")" test -z "$lintian" -a $linted = yes

dpkg -i "$deb" >/dev/null
installed=$(dpkg -L portwrangler)
check "the program on PATH" test "$(command -v portwrangler)" = /usr/bin/portwrangler
# Control-flow protection shows only when the C library's start files carry it too.
cet=()
if ! readelf -n "$(gcc -print-file-name=Scrt1.o)" | grep -q "x86 feature: IBT, SHSTK"; then
  cet=(--nocfprotection)
fi
hardening=$(hardening-check "${cet[@]}" /usr/bin/portwrangler 2>&1) && hardened=yes || hardened=no
check "hardened:
$hardening" test "$hardened" = yes
set +e
help=$(portwrangler -help)
status=$?
set -e
check "-help ends with exit status 1" test "$status" -eq 1
check "-help prints the help screen" test "$help" = "$("$build/portwrangler" -help)"
check "the man page, compressed" \
  test "$(man -w portwrangler)" = /usr/share/man/man1/portwrangler.1.gz
check "--help and --version end with exit status 0" \
  bash -c 'portwrangler --help | grep -q -- --keep && portwrangler --version | grep -q "^portwrangler "'
unit=/lib/systemd/system/portwrangler-keep@.service
check "the keep unit template, installed" test -f "$unit"
# Its instance as systemd would load it; verify checks the command, the man page and
# every setting.
cp "$unit" "$out/portwrangler-keep@ssh.service"
verified=$(systemd-analyze verify "$out/portwrangler-keep@ssh.service" 2>&1) && good=yes || good=no
check "systemd-analyze verify finds nothing in the unit:
$verified" test "$good" = yes -a -z "$verified"
# Its exposure as systemd rates it, below 2; the control: the same unit without the
# protections it sets beside the old ones rates 2 or more, so the rating sees them.
exposure() {
  systemd-analyze security --offline=yes "$1" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p'
}
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && a + 0 < b + 0) }'; }
rated=$(exposure "$out/portwrangler-keep@ssh.service")
grep -Ev '^(Protect(Clock|Kernel|ControlGroups|Hostname|Proc)|ProcSubset|RestrictRealtime|SystemCall(Filter|ErrorNumber)|PrivateUsers|UMask)' \
  "$unit" >"$out/bare@ssh.service"
bare=$(exposure "$out/bare@ssh.service")
check "the unit's exposure is below 2 (it is $rated); without its protections $bare" \
  bash -c "$(declare -f below); below '$rated' 2 && ! below '$bare' 2"
check "the unit allows IPv6, and gives a stop (20 s at most) 30 s" \
  bash -c "grep -q '^RestrictAddressFamilies=.*AF_INET6' '$unit' && grep -qx 'TimeoutStopSec=30' '$unit'"
check "the unit's example configuration" \
  grep -q '^FORWARD=' /usr/share/doc/portwrangler/examples/keep.conf
check "the README's user pages beside it, the developers' left out" \
  bash -c "test -f /usr/share/doc/portwrangler/README.md \
    && test -f /usr/share/doc/portwrangler/docs/holding.md \
    && test ! -e /usr/share/doc/portwrangler/docs/development"
# The held set's unit: verified and rated as the template is, its example file one the
# program reads.
hold_unit=/lib/systemd/system/portwrangler-hold.service
check "the hold unit, installed, reloads with SIGHUP" grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$hold_unit"
verified=$(systemd-analyze verify "$hold_unit" 2>&1) && good=yes || good=no
check "systemd-analyze verify finds nothing in the hold unit:
$verified" test "$good" = yes -a -z "$verified"
rated=$(exposure "$hold_unit")
check "the hold unit's exposure is below 2 (it is $rated)" \
  bash -c "$(declare -f below); below '$rated' 2"
set +e
portwrangler --hold /usr/share/doc/portwrangler/examples/hold.conf --url http://127.0.0.1:9/ \
  >/dev/null 2>&1
status=$?
set -e
check "the example set parses (the run ends at the router, not at the file: $status)" \
  test "$status" -eq 3
check "the changelog's newest entry is this package's" \
  test "$(zcat /usr/share/doc/portwrangler/changelog.Debian.gz | head -n 1 | cut -d ' ' -f 2)" \
  = "($(dpkg-deb -f "$deb" Version))"

# The completion's answers, each word in brackets, for the words typed before the one
# being completed and that word (after the "|"), under the user's IFS and shell options,
# in a folder of files named like its words: the answers must not change.
completion_cases=(
  "|" "-add|" "-add -q|" "-add TCP|-" "-add UDP 80|" "-remove|T" "-remove -q|U"
  "-list|" "-list -p TCP|" "-list -ip 10.0.0.1|" "-list -s|E" "-list -stats|" "-li|"
  "|--" "--lease|" "--json --lease=60|" "--json --lease 60 -add|" "--|--" "-pinhole|"
  "-pinhole -add|" "-pinhole -remove|" "--protocol|" "--protocol pcp|" "--hold|"
  "--hold set.conf|" "--hold=set.conf --json|" "--hold set.conf --on-change|"
  "--protocol pcp -pinhole -remove|" "--protocol=auto -pinhole -remove|"
  "--keep --protocol pcp -pinhole -add|")
complete_all() {
  (cd "$out/completion" && bash -c '
    cases=("${@:2}")
    eval "$1"
    source /usr/share/bash-completion/completions/portwrangler
    complete -p portwrangler
    for case in "${cases[@]}"; do
      IFS=" " read -r -a typed <<< "${case%|*}"
      COMP_WORDS=(portwrangler "${typed[@]}" "${case#*|}")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      _portwrangler
      for word in "${COMPREPLY[@]}"; do printf "[%s]" "$word"; done
      echo
    done
    echo end' bash "$1" "${completion_cases[@]}")
}
mkdir "$out/completion"
touch "$out/completion/"{-add,-q,TCP,UDP,-ip,Enabled,x,-}
expected="complete -F _portwrangler portwrangler
[-add][-remove][-list][-stats][-pinhole][-diagnose][-help][/?]
[-q][TCP][UDP]
[TCP][UDP]
[-ip]

[TCP]
[UDP]
[-stats][-id][-p][-ip][-iport][-eport][-s]
[-ip][-iport][-eport][-s]
[-iport][-eport][-s]
[Enabled]


[--json][--exit-status][--lease][--keep][--url][--interface][--protocol][--gateway][--any-port][--same-port][--hold][--on-change][--status-file][--help][--version]

[-add][-remove][-list][-stats][-pinhole][-diagnose][-help][/?]
[-q][TCP][UDP]

[-status][-add][-remove][-check]
[TCP][UDP]

[upnp][pcp][natpmp][auto]
[-add][-remove][-list][-stats][-pinhole][-diagnose][-help][/?]




[TCP][UDP]
[TCP][UDP]
[TCP][UDP]
end"
for setting in "" "IFS=x" "IFS=" "unset IFS" "IFS=-" "set -euf -o pipefail" \
  "shopt -s nullglob failglob nocasematch nocaseglob extglob dotglob globstar" \
  "IFS=x; set -u; shopt -s nullglob"; do
  answers=$(complete_all "$setting")
  check "the completion${setting:+ with $setting}, which answered:
$answers" test "$answers" = "$expected"
done

dpkg -r portwrangler >/dev/null
left=()
while IFS= read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then left+=("$path"); fi
done <<< "$installed"
check "nothing left after removal (${left[*]:-})" test ${#left[@]} -eq 0
check "its documentation folder gone" test ! -e /usr/share/doc/portwrangler

summary
