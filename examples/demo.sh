#!/bin/sh
# Runs the programs on the bundled examples. Argument: the build directory.
set -eu
build=${1:-build/ci}
here=$(dirname "$0")
runnel=$build/stream_copy/runnel

show() {
  printf '\n$ %s\n' "$*"
  "$@"
}

show "$runnel" -n "$here/logbook.txt"
show "$runnel" -sb "$here/logbook.txt"
show "$runnel" -A "$here/bytes.bin"
printf '\n'
show "$runnel" -T -E - "$here/logbook.txt" <<'TEXT'
from standard input, then the logbook:
TEXT
