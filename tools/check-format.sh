#!/usr/bin/env bash
# check-format.sh: fails, naming the files, when a C++ source differs from what the
# project's .clang-format makes of it. `tools/check-format.sh --fix` rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format --style=file -i "${files[@]}"
  exit 0
fi
drift=()
for f in "${files[@]}"; do
  clang-format --style=file "$f" | cmp -s - "$f" || drift+=("$f")
done
if [ ${#drift[@]} -gt 0 ]; then
  echo "check-format.sh: not formatted with .clang-format (tools/check-format.sh --fix):" >&2
  printf '  %s\n' "${drift[@]}" >&2
  exit 1
fi
