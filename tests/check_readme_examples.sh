#!/bin/sh
# SPDX-License-Identifier: MIT
# The README can be followed as written: its install command for one user,
# `make install PREFIX=$HOME/.local`, run through the Makefile with HOME in a fresh folder, then
# every example of the README (a "$ " line and the lines after it) run with that bin folder in
# PATH, its output compared with the README's. Examples that write under /tmp write in the
# fresh folder instead; those run under a locale this machine lacks are skipped, and said so.
# Argument: the source folder. The install build goes into the fresh folder (INSTALL_BUILD).
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset MAKEFLAGS MFLAGS MAKELEVEL DESTDIR LANGUAGE
export LC_ALL=C HOME="$tmp" INSTALL_BUILD="$tmp/build" T="$tmp"

install=$(grep -x -m 1 'make install PREFIX=\$HOME/\.local' "$src/README.md") ||
  { echo "README.md gives no line: make install PREFIX=\$HOME/.local"; exit 1; }
if ! (cd "$src" && sh -c "$install") >"$tmp/install.log" 2>&1; then
  tail -n 20 "$tmp/install.log"
  echo "failed: $install"
  exit 1
fi
PATH=$HOME/.local/bin:$PATH

# Each example in two files: N.cmd, its command line, and N.out, the lines the README shows
# after it.
mkdir "$tmp/examples" "$tmp/cwd"
awk -v dir="$tmp/examples" '
  /^```/ { inside = !inside; if (out != "") close(out); out = ""; next }
  inside && /^\$ / {
    n++; out = dir "/" n ".out"
    print substr($0, 3) > (dir "/" n ".cmd"); close(dir "/" n ".cmd")
    printf "" > out; next
  }
  out != "" { print > out }
' "$src/README.md"
# The examples run in a folder holding a copy of examples/, as in the source folder.
cp -R "$src/examples" "$tmp/cwd/"
count=0 failed=0 skipped=""
for file in "$tmp/examples/"*.cmd; do
  command=$(cat "$file")
  count=$((count + 1))
  locale=$(printf '%s\n' "$command" | sed -n 's/.*LC_ALL=\([a-z][a-z]_[A-Z][A-Z]\)\.UTF-8.*/\1/p')
  if [ -n "$locale" ] && ! locale -a | grep -q -i -x "$locale\\.utf-\\{0,1\\}8"; then
    skipped="$skipped $locale.UTF-8"
    echo "skipped, no locale $locale.UTF-8: $command"
    continue
  fi
  # /tmp/NAME becomes the fresh folder's NAME, quoted for any folder name.
  run=$(printf '%s\n' "$command" | sed 's|/tmp/|"$T"/|g')
  # The README cannot show the CR of a CR LF line end.
  (cd "$tmp/cwd" && sh -c "$run" 2>&1) | tr -d '\r' >"$tmp/actual" || true
  if ! cmp -s "${file%.cmd}.out" "$tmp/actual"; then
    echo "FAILED: \$ $command"
    diff "${file%.cmd}.out" "$tmp/actual" | head -c 600
    echo
    failed=$((failed + 1))
  fi
done
[ $count -gt 0 ] || { echo "README.md shows no examples"; exit 1; }
[ $failed -eq 0 ] || { echo "$failed of $count README examples failed"; exit 1; }
if [ -n "$skipped" ]; then
  echo "README examples under missing locales skipped:$skipped (make them with localedef)"
  exit 77
fi
echo "all $count README examples give what the README shows"
