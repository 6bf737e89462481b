#!/bin/sh
# SPDX-License-Identifier: MIT
# Benchmarks queuepeek and pathprobe beside dd and /bin/true. Argument: a Release build dir.
# Makes about 1.55 GiB of data in a folder from mktemp -d (under $BENCH_DIR when that is set)
# and removes it at the end.
# Then, when run.sh names them, the table of builds side by side: the formatted copies on
# run.sh's data (BENCH_TEXT, BENCH_RANDOM) and -S, -B, -D on this data, each by the build of
# the argument, the 32-bit x86 build (BENCH_BUILD32) and the plain-path build
# (BENCH_BUILD_PLAIN) in turn. A build folder left empty is not measured, for the reason in
# BENCH_NOT_MEASURED32 or BENCH_NOT_MEASURED_PLAIN.
# BENCH_SIZE_MIB (default 1024), for trying the script on less data: the list has that many
# MiB, the bounce reports a quarter of it. BENCH_RUNS (default 7): rounds of each row, as in
# run.sh, and BENCH_STARTUP_COUNT the runs of each start-up round (run.sh's, else 500, or 100
# per round asked for below 5). Each table is announced on standard error as it starts.
set -eu
build=${1:-build/release}
runs=${BENCH_RUNS:-7}
startup_count=${BENCH_STARTUP_COUNT:-$((runs < 5 ? runs * 100 : 500))}
mib=$((1024 * 1024))
size_mib=${BENCH_SIZE_MIB:-1024}
report_mib=$((size_mib / 4 > 0 ? size_mib / 4 : 1))
queuepeek=$build/queuepeek/queuepeek
pathprobe=$build/pathprobe/pathprobe
for program in "$queuepeek" "$pathprobe"; do
  [ -x "$program" ] || { echo "no program $program: build with cmake --preset release" >&2; exit 1; }
done

data=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/queue-bench.XXXXXX")
trap 'rm -rf "$data"' EXIT INT TERM

list=$data/list
report=$data/report
tiny=$data/tiny

. "$(dirname "$0")/common.sh"

phase "making the queue files in $data" $((size_mib * mib * 3)) 0
# A remote-delivery list of 26-byte records and a bounce report as qmail writes them
# (bench/common.sh).
make_list "$list" $((size_mib * mib))
make_report "$report" $((report_mib * mib))
printf 'Da@x.example\000Tb@y.example\000' >"$tiny"

list_bytes=$(wc -c <"$list")
report_bytes=$(wc -c <"$report")
# Page-cache both files before any timing.
tail -c +1 "$list" >/dev/null; tail -c +1 "$report" >/dev/null

gbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.2f", b / ns }'; }

[ -n "${BENCH_TARGETS_SAID:-}" ] || { echo; targets_note "$size_mib" "$runs"; }
phase "timing queuepeek beside dd, $runs round(s)" $(((list_bytes * 2 + report_bytes * 4) * runs)) 0
echo
echo "queuepeek: each command and dd in turn, $runs round(s); speeds: the median of the rounds;"
echo "ratio: dd time / program time in each round, the median of those ratios (so it can differ"
echo "a little from the ratio of the two speeds); higher is better"
printf '\n%-34s %10s %10s %10s %8s\n' "throughput" "program" "dd bs=128K" "ratio" "target"
row() {  # row LABEL BYTES FILE TARGET COMMAND: the shell command line COMMAND and dd in turn
  set -- "$1" "$2" "$3" "$4" $(alternate_ns "$runs" "$5" "dd if='$3' of=/dev/null bs=128K")
  printf '%-34s %7s GB/s %5s GB/s %9.2f %8s\n' "$1" "$(gbps "$2" "$5")" "$(gbps "$2" "$6")" \
    "$7" "$4"
}
row "-S, $size_mib MiB list of 26-byte records" "$list_bytes" "$list" ">= 0.8" \
  "'$queuepeek' -S '$list'"
row "-B, $report_mib MiB bounce report" "$report_bytes" "$report" ">= 0.85" \
  "'$queuepeek' -B '$report'"
# -D writes its list to a file. Before each run, untimed, the last list is removed and the file
# system synced, so that no run pays for freeing or writing back the 53 MB list of the one before.
before_each="rm -f '$data/addresses' && sync"
row "-D, $report_mib MiB bounce report" "$report_bytes" "$report" ">= 3 GB/s" \
  "'$queuepeek' -D '$report' '$data/addresses'"
before_each=

phase "timing pathprobe's and queuepeek's start-up beside /bin/true, $runs round(s)" \
  0 $((2 * runs * 2 * startup_count))
echo
echo "start-up: $runs round(s), each $startup_count runs of /bin/true, then $startup_count of the program;"
echo "per run: the median of the rounds' mean times; ratio: program time / true time in each"
echo "round, the median of those ratios (so it can differ from the ratio of the two times)"
printf '\n%-34s %10s %10s %10s %8s\n' "start-up" "program" "/bin/true" "ratio" "target"
startup_row() {  # startup_row LABEL COMMAND...
  label=$1
  shift
  set -- $(startup_vs_true "$runs" "$startup_count" "$@")
  printf '%-34s %7s us %7s us %9s %8s\n' "$label" "$1" "$2" "$3" "<= 1.02"
}
startup_row "pathprobe on an existing path" "$pathprobe" "$tiny"
startup_row "queuepeek -S on a 26-byte list" "$queuepeek" -S "$tiny"

# The same report with CR LF line ends has no ">:" newline at all: every record runs on to
# the end, which must not cost memory.
phase "measuring queuepeek -D's peak resident size" $((report_bytes * 4)) 2
sed 's/$/\r/' "$report" >"$data/crlf"
echo
for pair in "report:$report" "report with CR LF lines:$data/crlf"; do
  printf '%-34s ' "peak resident, -D, $report_mib MiB ${pair%%:*}"
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f '%M KiB (target: under 4096 KiB)' "$queuepeek" -D "${pair#*:}" "$data/addresses" 2>&1
  else
    echo "unknown: /usr/bin/time is not installed"
  fi
done

# The builds side by side, each row's commands in turn in the same rounds.
build32=${BENCH_BUILD32:-}
build_plain=${BENCH_BUILD_PLAIN:-}
[ -n "$build32$build_plain" ] || exit 0
for program in "$build32" "$build_plain"; do
  [ -z "$program" ] || [ -x "$program/queuepeek/queuepeek" ] ||
    { echo "no program $program/queuepeek/queuepeek" >&2; exit 1; }
done
main_name=$(uname -m | sed 's/^x86_64$/x86-64/')
build_line() {  # build_line NAME FOLDER REASON: the build and the code paths it takes here
  if [ -z "$2" ]; then
    echo "$1: $3"
  elif [ -x "$2/bench/chosen_paths" ]; then
    echo "$1 ($2): $("$2/bench/chosen_paths")"
  else
    echo "$1 ($2): paths unknown (no bench/chosen_paths there)"
  fi
}
# Each row's commands run once more before the rounds; the rows read the text 7 times a round
# and a build, the list once and the report twice, at about 2 GB/s.
builds=$((1 + (${#build32} > 0) + (${#build_plain} > 0)))
text_bytes=$(wc -c <"${BENCH_TEXT:-/dev/null}")
phase "timing the builds side by side, $runs round(s)" \
  $(((runs + 1) * builds * (7 * text_bytes + list_bytes + 2 * report_bytes) / 2)) 0
echo
echo "builds side by side: the row's commands in turn, $runs round(s); speed: the median of the"
echo "rounds; ratio: $main_name build's time / this build's time in each round, the median of"
echo "those ratios (so it can differ a little from the ratio of the two speeds)"
build_line "$main_name build" "$build" ""
build_line "32-bit x86 build" "$build32" "${BENCH_NOT_MEASURED32:-not measured}"
build_line "plain-path build" "$build_plain" "${BENCH_NOT_MEASURED_PLAIN:-not measured}"
echo
printf '| %-28s | %12s | %12s | %6s | %-7s | %12s | %6s | %-11s |\n' "" "$main_name" \
  "32-bit x86" "ratio" "target" "plain path" "ratio" "target"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' "------------------------------" "--------------" \
  "--------------" "--------" "---------" "--------------" "--------" "-------------"
cells() {  # cells FOLDER NS RATIO: a build's speed and ratio, or "not measured"
  if [ -n "$1" ]; then
    printf '%7s GB/s | %5.2fx' "$(gbps "$bytes" "$2")" "$3"
  else
    printf '%12s | %6s' "not measured" "-"
  fi
}
builds_row() {  # builds_row LABEL FILE PLAIN_TARGET PROGRAM ARGUMENTS: PROGRAM of each build
  label=$1
  bytes=$(wc -c <"$2")
  plain_target=$3
  set -- "'$build/$4' $5" "$build32" "'$build32/$4' $5" "$build_plain" "'$build_plain/$4' $5"
  commands=$1
  [ -z "$2" ] || commands="$commands
$3"
  [ -z "$4" ] || commands="$commands
$5"
  # One command line per build: split on new lines alone.
  old_ifs=$IFS
  IFS='
'
  set -- $commands
  IFS=$old_ifs
  for command in "$@"; do
    sh -c "$command" >/dev/null 2>&1 || { echo "failed: $command" >&2; exit 1; }
  done
  set -- $(alternate_each_ns "$runs" "$@")
  main_ns=$1
  shift
  ns32=0 ns_plain=0 ratio32=0 ratio_plain=0
  [ -z "$build32" ] || { ns32=$1; shift; }
  [ -z "$build_plain" ] || { ns_plain=$1; shift; }
  [ -z "$build32" ] || { ratio32=$1; shift; }
  [ -z "$build_plain" ] || ratio_plain=$1
  printf '| %-28s | %7s GB/s | %s | %-7s | %s | %-11s |\n' "$label" "$(gbps "$bytes" "$main_ns")" \
    "$(cells "$build32" "$ns32" "$ratio32")" ">= 0.8x" \
    "$(cells "$build_plain" "$ns_plain" "$ratio_plain")" "$plain_target"
}
text=${BENCH_TEXT:-}
random=${BENCH_RANDOM:-}
if [ -n "$text" ]; then
  for pair in "-n:>= 3.5 GB/s" "-b:>= 3.5 GB/s" "-s:>= 3.5 GB/s" "-v:>= 2.5 GB/s" \
    "-A:>= 1.5 GB/s"; do
    builds_row "runnel ${pair%%:*}, text" "$text" "${pair#*:}" runnel/runnel "${pair%%:*} '$text'"
  done
fi
if [ -n "$random" ]; then
  for pair in "-v:>= 1.5 GB/s" "-A:>= 1.5 GB/s"; do
    builds_row "runnel ${pair%%:*}, random bytes" "$random" "${pair#*:}" runnel/runnel \
      "${pair%%:*} '$random'"
  done
fi
builds_row "queuepeek -S, list" "$list" "" queuepeek/queuepeek "-S '$list'"
builds_row "queuepeek -B, bounce report" "$report" "" queuepeek/queuepeek "-B '$report'"
before_each="rm -f '$data/addresses' && sync"
builds_row "queuepeek -D, bounce report" "$report" "" queuepeek/queuepeek \
  "-D '$report' '$data/addresses'"
before_each=
echo "(targets: the 32-bit x86 build at 0.8x of the $main_name build or better on every row;"
echo " the plain path, which every other architecture gets, in GB/s on the formatted copies)"
