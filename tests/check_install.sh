#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs a build tree into a fresh directory as "make install" does and fails unless exactly
# the expected files are there: the programs (stripped), the manual pages, the catalogues and
# the bash completions. Then "make uninstall" must remove them and the folders made for them,
# and leave a file that was in PREFIX/bin before.
# Arguments: cmake, the build tree, the folder of the manual pages the build made, the source
# folder.
set -eu
cmake=$1
build=$2
pages=$3
src=$4
unset DESTDIR MAKEFLAGS MFLAGS MAKELEVEL
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
mkdir "$prefix/bin"
echo "not ours" >"$prefix/bin/other"
sh "$src/cmake/install.sh" "$cmake" "$build" "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f | LC_ALL=C sort)
expected='./bin/other
./bin/pathprobe
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

uninstall() { make -s -C "$src" uninstall INSTALL_BUILD="$build" PREFIX="$1" 2>&1; }
if said=$(uninstall "$prefix/elsewhere") || [ ! -f "$prefix/bin/runnel" ]; then
  echo "make uninstall with another PREFIX did not refuse, or removed files: $said"; exit 1
fi
said=$(uninstall "$prefix")
left=$(cd "$prefix" && find . | LC_ALL=C sort | tr '\n' ' ')
if [ "$left" != ". ./bin ./bin/other " ]; then
  echo "make uninstall left: $left"; echo "it said: $said"; exit 1
fi
case $said in
  *"removed $prefix/bin/runnel"*"removed 10 files and 10 folders under $prefix") ;;
  *) echo "make uninstall said: $said"; exit 1 ;;
esac
said=$(uninstall "$prefix")
case $said in
  "make uninstall: nothing was installed from "*) ;;
  *) echo "make uninstall run again said: $said"; exit 1 ;;
esac
echo "installed and uninstalled as expected"
