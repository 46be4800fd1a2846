#!/usr/bin/env bash
# check-exe.sh EXE: the Windows program as it ships. It imports nothing but Windows' own
# DLLs (everything else is linked in), and it is hardened: the image can be loaded at
# any address in the 64-bit space (it keeps its relocations), its data is not
# executable, and the stack protector and fortify's checks are linked in.
set -euo pipefail
exe=$1
failed=0
fail() { echo "check-exe: $exe: $*" >&2; failed=1; }

headers=$(x86_64-w64-mingw32-objdump -p -h "$exe")
while read -r dll; do
  case ${dll,,} in
    kernel32.dll|msvcrt.dll|ws2_32.dll|iphlpapi.dll|advapi32.dll|bcrypt.dll) ;;
    *) fail "imports $dll, not a DLL of Windows itself" ;;
  esac
done < <(sed -n 's/^\tDLL Name: //p' <<< "$headers")
for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
  grep -qx "[[:space:]]*$flag" <<< "$headers" || fail "no $flag"
done
grep -q " \.reloc " <<< "$headers" || fail "no relocations: it cannot move"
symbols=$(x86_64-w64-mingw32-nm "$exe")
grep -q " T __stack_chk_fail$" <<< "$symbols" || fail "no stack protector"
grep -q " T __chk_fail$" <<< "$symbols" || fail "no fortify checks"
if [ "$failed" -eq 0 ]; then echo "check-exe: $exe: Windows DLLs only, hardened"; fi
exit "$failed"
