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
# One clang-format for every file: it names each place that would change.
if ! report=$(clang-format --style=file --dry-run --Werror "${files[@]}" 2>&1); then
  echo "check-format.sh: not formatted with .clang-format (tools/check-format.sh --fix):" >&2
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/  \1/p' <<<"$report" | sort -u >&2
  exit 1
fi
