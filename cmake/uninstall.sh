#!/bin/sh
# SPDX-License-Identifier: MIT
# make uninstall: removes the files that the last make install from a build tree put under
# PREFIX (below $DESTDIR when that is set), as CMake listed them in BUILD/install_manifest.txt,
# then the folders that install made (BUILD/install_folders.txt, from cmake/install.sh) when they
# are empty: a folder that was there before, or that holds other files, stays. Says what it
# removed, or that nothing was installed; refuses when that install went elsewhere
# (BUILD/install_root.txt).
# Arguments: the build tree, the prefix.
set -eu
build=$1
manifest=$build/install_manifest.txt
record=$build/install_folders.txt
# Without trailing slashes, as PREFIX was given or as the manifest has it.
trim() {
  path=$1
  while [ "${path%/}" != "$path" ]; do path=${path%/}; done
  printf '%s\n' "$path"
}
prefix=$(trim "$2")
root=${DESTDIR:-}$prefix

if [ ! -s "$manifest" ]; then
  echo "make uninstall: nothing was installed from $build (no $manifest)"
  exit 0
fi
if [ -f "$build/install_root.txt" ]; then
  installed=$(trim "$(cat "$build/install_root.txt")")
  if [ "$installed" != "$root" ]; then
    echo "make uninstall: the last install from $build went to $installed, not $root:"
    echo "  give make uninstall the PREFIX (and DESTDIR) of that install"
    exit 1
  fi
fi
# The manifest names the files without $DESTDIR, and CMake ends it without a newline after its
# last line.
while IFS= read -r file || [ -n "$file" ]; do
  case $file in
    "$prefix"/*) ;;
    *) echo "make uninstall: $manifest names $file, which is not under $prefix"; exit 1 ;;
  esac
done <"$manifest"

files=0
while IFS= read -r file || [ -n "$file" ]; do
  file=${DESTDIR:-}$file
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file"
    echo "removed $file"
    files=$((files + 1))
  fi
done <"$manifest"

# The deepest folders first, so that a folder emptied by removing the one inside it goes too.
# Those of this install are PREFIX and the folders inside it and above it; the record keeps
# those of installs under other prefixes.
mine() {
  case $1/ in "$root"/*) return 0 ;; esac
  case $root/ in "$1"/*) return 0 ;; esac
  return 1
}
folders=0
if [ -f "$record" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  LC_ALL=C sort -r "$record" >"$work/folders"
  : >"$work/kept"
  while IFS= read -r folder; do
    mine "$folder" || { printf '%s\n' "$folder" >>"$work/kept"; continue; }
    [ -d "$folder" ] || continue
    if [ -z "$(ls -A "$folder")" ]; then
      rmdir -- "$folder"
      echo "removed folder $folder"
      folders=$((folders + 1))
    else
      echo "kept folder $folder: it holds other files"
    fi
  done <"$work/folders"
  if [ -s "$work/kept" ]; then LC_ALL=C sort "$work/kept" >"$record"; else rm -f "$record"; fi
fi
rm -f "$manifest" "$build/install_root.txt"
echo "make uninstall: removed $files files and $folders folders under $root"
