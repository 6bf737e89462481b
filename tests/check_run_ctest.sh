#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs run_ctest.sh on a small project of its own, in parallel, and fails unless it lists each
# skipped test with its reason and keeps ctest's exit status.
# Arguments: cmake, ctest.
set -eu
cmake=$1
ctest=$2
run_ctest="$(cd "$(dirname "$0")" && pwd)/run_ctest.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(listing NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo fine")
add_test(NAME fails COMMAND sh -c "echo 'Skipped'; exit 1")
add_test(NAME gtest_skip COMMAND sh -c
         "printf 'a.cc:9: Skipped\\nneeds <root> & \"time\"\\n[  SKIPPED ] T.t\\n'")
set_tests_properties(gtest_skip PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
add_test(NAME script_skip COMMAND sh -c "echo checking; echo 'groff is not installed'; exit 77")
set_tests_properties(script_skip PROPERTIES SKIP_RETURN_CODE 77)
EOF
"$cmake" -S "$work" -B "$work/build" >/dev/null

run() {
  status=0
  (cd "$work/build" && sh "$run_ctest" "$ctest" -j 2 "$@") >"$work/out" 2>&1 || status=$?
}
listing() { grep -E '^(skipped|not run|ctest):' "$work/out" | LC_ALL=C sort; }
run
got=$(listing)
expected='ctest: 1 passed, 1 failed, 2 skipped
skipped: gtest_skip: needs <root> & "time"
skipped: script_skip: groff is not installed'
failures=0
if [ "$status" -eq 0 ] || [ "$got" != "$expected" ]; then
  printf 'with a failing test: status %s, listing:\n%s\nexpected:\n%s\n' "$status" "$got" "$expected"
  failures=1
fi
run -E fails
got=$(listing)
if [ "$status" -ne 0 ] || [ "$got" != "$(echo "$expected" | sed 's/1 failed/0 failed/')" ]; then
  printf 'without it: status %s, listing:\n%s\n' "$status" "$got"
  failures=1
fi
[ "$failures" -eq 0 ] && echo "skips listed with their reasons, ctest's status kept"
exit "$failures"
