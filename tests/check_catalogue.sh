#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless a catalogue and the template hold the same messages: every text of the template
# translated (none missing, empty or fuzzy) and nothing that the programs no longer say.
# Arguments: the catalogue (or the template kept in po/), the template made by the build, and
# "template" when the first file is a template too, whose texts are all untranslated.
set -eu
po=$1
pot=$2
kind=${3:-catalogue}
if [ "$kind" = template ]; then
  msgcmp --use-untranslated "$po" "$pot"
else
  msgfmt --check --output-file=/dev/null "$po"
  msgcmp "$po" "$pot"  # fuzzy and untranslated entries count as missing
fi
msgcmp --use-untranslated "$pot" "$po"
echo "$po: the same messages as $pot"
