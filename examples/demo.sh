#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the programs on the bundled examples. Argument: the build directory.
set -eu
build=${1:-build/ci}
here=$(dirname "$0")
runnel=$build/runnel/runnel

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

# queuepeek opens queue files for writing (though it never writes), so it works on a
# writable copy of the samples, with absolute names.
queuepeek=$build/queuepeek/queuepeek
pathprobe=$build/pathprobe/pathprobe
queue=$(mktemp -d)
trap 'rm -rf "$queue"' EXIT
cp -R "$here/queue/remote" "$here/queue/bounce" "$queue/"
chmod -R u+w "$queue"
addresses=$queue/addresses

# The answers have no trailing newline: one is printed after each for reading.
show "$queuepeek" -S "$queue/remote/0/1130795"; printf '\n'
show "$queuepeek" -S "$queue/remote/4/1130799"; printf '\n'
show "$queuepeek" -B "$queue/bounce/1130795"; printf '\n'
show "$queuepeek" -B "$queue/bounce/1130799"; printf '\n'
echo '(-B counts the lines that end in ">:": 8 recipients here, and two reason lines end so too)'
show "$queuepeek" -D "$queue/bounce/1130799" "$addresses"
show "$runnel" -A "$addresses"
rm -f "$addresses"
show "$pathprobe" "$here/queue/bounce/1130795" || true
show "$pathprobe" "$here/queue/bounce/404" || true
