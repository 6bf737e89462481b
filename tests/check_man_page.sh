#!/bin/sh
# SPDX-License-Identifier: MIT
# Renders a manual page the way man does on a UTF-8 terminal, with every groff warning on, and
# fails on any warning, on a page without its main sections, or when its title line does not
# carry the version.
# Arguments: the page, the version. Exits with 77 (a skip) when groff is not installed.
set -eu
page=$1
version=$2
command -v groff >/dev/null || { echo "groff is not installed"; exit 77; }
warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
status=0
rendered=$(groff -man -Tutf8 -ww -P-cbou "$page" 2>"$warnings") || status=$?
if [ -s "$warnings" ] || [ "$status" -ne 0 ]; then
  tail -c +1 "$warnings"
  echo "$page: groff exited with $status and the warnings above"
  exit 1
fi
case $rendered in
  *NAME*SYNOPSIS*DESCRIPTION*"EXIT STATUS"*) ;;
  *) echo "$page: no NAME, SYNOPSIS, DESCRIPTION and EXIT STATUS sections"; exit 1 ;;
esac
if ! grep -q "^\.TH [A-Z]* 1 [0-9-]* \"quillworks $version\" " "$page"; then
  echo "$page: the title line does not name quillworks $version"
  exit 1
fi
echo "$page: rendered without warnings"
