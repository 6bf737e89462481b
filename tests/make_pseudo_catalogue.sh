#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the tests' pseudo-translation: every text of the template with "~ " in front of each
# non-empty line, compiled into a catalogue. Arguments: template, output .mo, work directory.
set -eu
pot=$1
mo=$2
work=$3
mkdir -p "$(dirname "$mo")" "$work"
sed 's/charset=CHARSET/charset=UTF-8/' "$pot" > "$work/pseudo.pot"
msgen --output-file="$work/pseudo-en.po" "$work/pseudo.pot"
msgfilter --keep-header --input="$work/pseudo-en.po" --output-file="$work/pseudo-xx.po" \
  sed -e 's/^./~ &/'
msgfmt --check-format --output-file="$mo" "$work/pseudo-xx.po"
