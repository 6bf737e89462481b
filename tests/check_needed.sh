#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless the program's only NEEDED shared libraries are libc.so.6 and glibc's loader.
set -eu
program=$1
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p')
[ -n "$needed" ] || { echo "no NEEDED entries found in $program" >&2; exit 1; }
status=0
for library in $needed; do
  case $library in
    libc.so.6 | ld-linux*.so.* ) ;;
    *) echo "$program needs $library" >&2; status=1 ;;
  esac
done
echo "$program needs: $needed"
exit $status
