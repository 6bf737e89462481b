#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs ctest, then lists every test that did not run with the reason it gave, which ctest's own
# summary leaves out ("Skipped" only): a "skipped: TEST: REASON" line each, and a count line.
# Exits with ctest's status, whatever the listing does.
# Usage: run_ctest.sh CTEST [ARGUMENT...], e.g. run_ctest.sh ctest --preset ci -j 2
set -u
ctest=$1
shift
# ctest's JUnit report says which tests did not run, with their whole output; it is written
# once at the end, so parallel runs do not mix their outputs.
report=$(mktemp "${TMPDIR:-/tmp}/ctest-report.XXXXXX") || exit 1
trap 'rm -f "$report"' EXIT
trap 'rm -f "$report"; exit 130' INT TERM
status=0
"$ctest" --output-junit "$report" "$@" || status=$?

awk '
function unxml(s) {
  gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
  gsub(/&apos;/, "'\''", s); gsub(/&amp;/, "\\&", s)
  return s
}
# The value of attribute `key` (with its leading space) on `line`.
function attr(line, key) {
  if (!match(line, key "=\"[^\"]*\"")) return ""
  return unxml(substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 3))
}
# A GoogleTest skip prints "FILE:LINE: Skipped", the message, then "[  SKIPPED ] TEST"; any
# other test says why in its last line of output (a script that exits with the skip code).
function reason(    i, j, text) {
  for (i = 1; i <= lines; i++) {
    if (out[i] !~ /: Skipped$/) continue
    text = ""
    for (j = i + 1; j <= lines && out[j] !~ /^\[  SKIPPED \]/; j++)
      if (out[j] ~ /[^ \t]/) text = text (text == "" ? "" : " ") out[j]
    return text == "" ? "no reason given" : text
  }
  for (i = lines; i >= 1; i--)
    if (out[i] ~ /[^ \t]/) return out[i]
  return message == "" ? "no reason given" : message
}
inside {
  end = index($0, "</system-out>")
  if (end) { inside = 0; $0 = substr($0, 1, end - 1); if ($0 == "") next }
  out[++lines] = unxml($0)
  next
}
/^[ \t]*tests="/ && total == "" { total = attr($0, "tests") }
/^[ \t]*failures="/ && failed == "" { failed = attr($0, "failures") }
/<testcase / {
  name = attr($0, " name"); status = attr($0, " status"); message = ""; lines = 0
}
/<skipped / { message = attr($0, " message") }
/<system-out>/ {
  $0 = substr($0, index($0, "<system-out>") + 12)
  inside = 1
  end = index($0, "</system-out>")
  if (end) { inside = 0; $0 = substr($0, 1, end - 1) }
  if ($0 != "") out[++lines] = unxml($0)
}
# A test that asked to be skipped, or is disabled, did not run; so did one that could not be
# started (a missing program or required file), which ctest counts as a failure.
/<\/testcase>/ && (status == "disabled" || status == "notrun" && message ~ /^SKIP_/) {
  print "skipped: " name ": " reason()
  ++skipped
}
/<\/testcase>/ && status == "notrun" && message !~ /^SKIP_/ {
  print "not run: " name ": " reason()
  ++failed
}
END {
  if (total != "")
    printf "ctest: %d passed, %d failed, %d skipped\n", total - failed - skipped, failed, skipped
}
' "$report"
exit "$status"
