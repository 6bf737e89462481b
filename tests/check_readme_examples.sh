#!/bin/sh
# SPDX-License-Identifier: MIT
# The README can be followed as written: its install command for one user,
# `make install PREFIX=$HOME/.local`, run through the Makefile with HOME in a fresh folder, then
# every example of the README (a "$ " line and the lines after it) run in turn in one shell, as
# a reader types them, with that bin folder in PATH, each one's output compared with the
# README's. They run in a copy of examples/ with TMPDIR in a folder of their own, and must leave
# both as they found them. Those run under a locale this machine lacks are skipped, and said so.
# Argument: the source folder. The install build goes into the fresh folder (INSTALL_BUILD).
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset MAKEFLAGS MFLAGS MAKELEVEL DESTDIR LANGUAGE
export LC_ALL=C HOME="$tmp" INSTALL_BUILD="$tmp/build"

install=$(grep -x -m 1 'make install PREFIX=\$HOME/\.local' "$src/README.md") ||
  { echo "README.md gives no line: make install PREFIX=\$HOME/.local"; exit 1; }
if ! (cd "$src" && sh -c "$install") >"$tmp/install.log" 2>&1; then
  tail -n 20 "$tmp/install.log"
  echo "failed: $install"
  exit 1
fi
PATH=$HOME/.local/bin:$PATH

# Each example in two files: N.cmd, its command line, and N.out, the lines the README shows
# after it; N has three digits, so that the files sort in the README's order.
mkdir "$tmp/examples" "$tmp/cwd"
awk -v dir="$tmp/examples" '
  /^```/ { inside = !inside; if (out != "") close(out); out = ""; next }
  inside && /^\$ / {
    n = sprintf("%03d", n + 1); out = dir "/" n ".out"
    print substr($0, 3) > (dir "/" n ".cmd"); close(dir "/" n ".cmd")
    printf "" > out; next
  }
  out != "" { print > out }
' "$src/README.md"
# The examples run in a folder holding a copy of examples/, as in the source folder: one
# script, each example's output going to a file of its own.
cp -R "$src/examples" "$tmp/cwd/"
mkdir "$tmp/actual" "$tmp/tmpdir"
# The names in the folder, and the checksum of each file.
listing() { (cd "$tmp/cwd" && find . | LC_ALL=C sort && find . -type f -exec cksum {} + | LC_ALL=C sort); }
listing >"$tmp/files-before"
count=0 skipped=""
: >"$tmp/run.sh"
for file in "$tmp/examples/"*.cmd; do
  command=$(cat "$file")
  count=$((count + 1))
  locale=$(printf '%s\n' "$command" | sed -n 's/.*LC_ALL=\([a-z][a-z]_[A-Z][A-Z]\)\.UTF-8.*/\1/p')
  if [ -n "$locale" ] && ! locale -a | grep -q -i -x "$locale\\.utf-\\{0,1\\}8"; then
    skipped="$skipped $locale.UTF-8"
    echo "skipped, no locale $locale.UTF-8: $command"
    continue
  fi
  name=$(basename "$file" .cmd)
  printf '{\n%s\n} >"$ACTUAL/%s" 2>&1\n' "$command" "$name" >>"$tmp/run.sh"
done
[ $count -gt 0 ] || { echo "README.md shows no examples"; exit 1; }
(cd "$tmp/cwd" && ACTUAL="$tmp/actual" TMPDIR="$tmp/tmpdir" sh "$tmp/run.sh" </dev/null) || true
failed=0
for file in "$tmp/examples/"*.cmd; do
  name=$(basename "$file" .cmd)
  [ -f "$tmp/actual/$name" ] || continue
  # The README cannot show the CR of a CR LF line end.
  if ! tr -d '\r' <"$tmp/actual/$name" | cmp -s "$tmp/examples/$name.out" -; then
    echo "FAILED: \$ $(cat "$file")"
    tr -d '\r' <"$tmp/actual/$name" | diff "$tmp/examples/$name.out" - | head -c 600
    echo
    failed=$((failed + 1))
  fi
done
if ! listing | cmp -s "$tmp/files-before" -; then
  echo "FAILED: the examples changed the files of the folder they ran in:"
  listing | diff "$tmp/files-before" - | head -c 600
  failed=$((failed + 1))
fi
if [ -n "$(ls -A "$tmp/tmpdir")" ]; then
  echo "FAILED: the examples left in TMPDIR: $(ls -A "$tmp/tmpdir")"
  failed=$((failed + 1))
fi
[ $failed -eq 0 ] || { echo "$failed of $count README examples failed"; exit 1; }
if [ -n "$skipped" ]; then
  echo "README examples under missing locales skipped:$skipped (make them with localedef)"
  exit 77
fi
echo "all $count README examples give what the README shows, and leave nothing behind"
