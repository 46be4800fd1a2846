# Sourced by the package tests, after setting `suite`: `check WHAT COMMAND...` runs one
# check and says when it fails; `summary` prints the count and fails if any check did.
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "$suite: FAILED: $what" >&2
  fi
}
summary() {
  echo "$suite: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
