#!/bin/sh
# SPDX-License-Identifier: MIT
# The last step of make install: installs a build tree under PREFIX (below $DESTDIR when that is
# set), stripped. CMake lists the files it installs in BUILD/install_manifest.txt; this adds
# for make uninstall (cmake/uninstall.sh) BUILD/install_root.txt, where they went ($DESTDIR and
# PREFIX), and BUILD/install_folders.txt, the folders that the install makes, so that they can
# be removed again once they are empty, and no folder that was there before.
# Arguments: cmake, the build tree, the prefix.
set -eu
cmake=$1
build=$2
prefix=$3
record=$build/install_folders.txt

# Installed first into an empty folder, the build shows every folder it needs: those that are
# not at the real destination yet are the ones the install makes. A record left by an earlier
# install keeps its folders.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >/dev/null
(cd "$stage" && find . -mindepth 1 -type d) | sed 's|^\.||' | while IFS= read -r folder; do
  [ -d "${DESTDIR:-}$folder" ] || printf '%s\n' "${DESTDIR:-}$folder"
done >"$stage/new"
{ [ ! -f "$record" ] || cat "$record"; cat "$stage/new"; } | LC_ALL=C sort -u >"$stage/all"
mv "$stage/all" "$record"
printf '%s\n' "${DESTDIR:-}$prefix" >"$build/install_root.txt"

"$cmake" --install "$build" --prefix "$prefix" --strip
