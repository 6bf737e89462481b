# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the tests: check compares a command's exit status, standard output and standard
# error with the expected ones, byte for byte, and says which differ; finish sums up.
set -u
export LC_ALL=C PATH=/usr/bin:/bin
tmp=${AUTOPKGTEST_TMP:-$(mktemp -d)}
failures=0

# check NAME STATUS STDOUT STDERR COMMAND [ARGUMENT...]
check() {
  name=$1 status=$2
  printf '%s' "$3" >"$tmp/expected.out"
  printf '%s' "$4" >"$tmp/expected.err"
  shift 4
  actual=0
  "$@" >"$tmp/actual.out" 2>"$tmp/actual.err" || actual=$?
  if [ "$actual" = "$status" ] && cmp -s "$tmp/expected.out" "$tmp/actual.out" &&
    cmp -s "$tmp/expected.err" "$tmp/actual.err"; then
    echo "ok: $name"
    return
  fi
  echo "FAIL: $name: status $actual, expected $status"
  for stream in out err; do
    cmp -s "$tmp/expected.$stream" "$tmp/actual.$stream" && continue
    echo "  std$stream differs, expected then actual (cat -A):"
    cat -A "$tmp/expected.$stream" | head -c 2000
    echo "  ---"
    cat -A "$tmp/actual.$stream" | head -c 2000
    echo
  done
  failures=$((failures + 1))
}

finish() {
  echo "$failures failed"
  [ "$failures" = 0 ]
}
