#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs a build tree into a fresh directory as "make install" does and fails unless exactly
# the expected files are there: the programs (stripped), the manual pages, the catalogues and
# the bash completions.
# Arguments: cmake, the build tree, the folder of the manual pages the build made.
set -eu
cmake=$1
build=$2
pages=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" --strip >/dev/null
installed=$(cd "$prefix" && find . -type f | LC_ALL=C sort)
expected='./bin/pathprobe
./bin/queuepeek
./bin/runnel
./share/bash-completion/completions/queuepeek
./share/bash-completion/completions/runnel
./share/locale/de/LC_MESSAGES/quillworks.mo
./share/locale/fr/LC_MESSAGES/quillworks.mo
./share/man/man1/pathprobe.1.gz
./share/man/man1/queuepeek.1.gz
./share/man/man1/runnel.1.gz'
if [ "$installed" != "$expected" ]; then
  echo "installed:"; echo "$installed"
  echo "expected:"; echo "$expected"
  exit 1
fi
for program in pathprobe queuepeek runnel; do
  [ -x "$prefix/bin/$program" ] || { echo "bin/$program is not executable"; exit 1; }
  # Stripped: neither a symbol table nor debug information is left.
  if readelf -S -W "$prefix/bin/$program" | grep -E -q ' \.(symtab|debug_[a-z]+) '; then
    echo "bin/$program is not stripped"; exit 1
  fi
done
# The installed pages are the pages the build made from the templates in man/.
for page in runnel queuepeek pathprobe; do
  gzip -dc "$prefix/share/man/man1/$page.1.gz" | cmp - "$pages/$page.1"
done
echo "installed as expected"
