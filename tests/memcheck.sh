#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs end-to-end test programs with every program they start under valgrind's memcheck, and
# fails on a failing test or on any error memcheck reports (invalid reads and writes, use of
# uninitialised bytes, bad frees, definite leaks). A run in which no program ran under
# valgrind fails too: it checked nothing.
# Usage: memcheck.sh TEST_PROGRAM...
set -u
command -v valgrind >/dev/null || {
  echo "memcheck: valgrind not found (Debian package valgrind: ./quickstart memcheck)"
  exit 2
}
logs=$(mktemp -d "${TMPDIR:-/tmp}/memcheck.XXXXXX")
chmod 1777 "$logs"  # runs under setpriv write their logs too
status=0
for tests in "$@"; do
  QUILLWORKS_TEST_WRAPPER="valgrind --quiet --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --log-file=$logs/%p.log" "$tests" --gtest_brief=1 || status=1
done
runs=$(find "$logs" -name '*.log' | wc -l)
dirty=$(find "$logs" -name '*.log' -size +0 | wc -l)
echo "memcheck: $runs program runs under valgrind, $dirty with errors"
if [ "$runs" -eq 0 ]; then
  echo "memcheck: no program ran under valgrind, so nothing was checked"
  status=1
fi
for log in $(find "$logs" -name '*.log' -size +0); do
  echo "== $log"
  tail -c +1 "$log"
  status=1
done
rm -rf "$logs"
exit $status
