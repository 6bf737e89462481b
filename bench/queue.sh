#!/bin/sh
# SPDX-License-Identifier: MIT
# Benchmarks queuepeek and pathprobe beside dd and /bin/true. Argument: a Release build dir.
# Makes about 1.55 GiB of data in a folder from mktemp -d (under $BENCH_DIR when that is set)
# and removes it at the end.
set -eu
build=${1:-build/release}
runs=${BENCH_RUNS:-7}  # rounds of each throughput row, as in run.sh
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

repeat_to() {  # repeat_to BLOCK FILE BYTES: FILE gets copies of BLOCK until it holds BYTES
  : >"$2"
  size=$(wc -c <"$1")
  copies=$(($3 / size))
  i=0
  while [ $i -lt $copies ]; do tail -c +1 "$1"; i=$((i + 1)); done >"$2"
}

echo "making data in $data ..."
# Remote-delivery list: 26-byte records, "D" (finished) for about 60 % of them, else "T".
awk 'BEGIN { srand(7); for (i = 0; i < 40000; i++)
  printf "%srcpt%05d@host%02d.example\n", (rand() < 0.6 ? "D" : "T"), i, i % 97 }' |
  tr '\n' '\000' >"$data/list-block"
repeat_to "$data/list-block" "$list" $((1024 * 1024 * 1024))
# Bounce report: records as qmail writes them, 150 to 400 bytes, some with reply lines that
# end in ">:" and some with empty reasons.
awk 'BEGIN { for (i = 0; i < 4000; i++) {
  printf "<user%05d@mx%02d.example.net>:\n", i, i % 53
  k = i % 5
  if (k == 0) printf "127.0.0.1 does not like recipient.\nRemote host said: 550 5.1.1 <user%05d>: user unknown\nGiving up on 127.0.0.1.\n", i
  else if (k == 1) printf "127.0.0.1 does not like recipient.\nRemote host said: 550-5.1.1 The email account that you tried to reach does not exist.\n550-5.1.1\n550 5.1.1 Please check the address.\nGiving up on 127.0.0.1.\n"
  else if (k == 2) printf "Sorry, no mailbox here by that name. (#5.1.1)\n"
  else if (k == 3) printf "Remote host said: 550-5.7.1 Recipient rejected for <victim%d@example.net>:\n550 5.7.1 see policy\nGiving up on 127.0.0.1.\n", i
  else printf "I'"'"'m not going to try again; this message has been in the queue too long.\n"
  printf "\n" } }' >"$data/report-block"
repeat_to "$data/report-block" "$report" $((256 * 1024 * 1024))
printf 'Da@x.example\000Tb@y.example\000' >"$tiny"

list_bytes=$(wc -c <"$list")
report_bytes=$(wc -c <"$report")
# Page-cache both files before any timing.
tail -c +1 "$list" >/dev/null; tail -c +1 "$report" >/dev/null

gbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.2f", b / ns }'; }

printf '\n%-34s %10s %10s %10s %8s\n' "throughput ($runs rounds, medians)" "program" "dd bs=128K" \
  "ratio" "target"
row() {  # row LABEL BYTES FILE TARGET COMMAND: the shell command line COMMAND and dd in turn
  set -- "$1" "$2" "$3" "$4" $(alternate_ns "$runs" "$5" "dd if='$3' of=/dev/null bs=128K")
  printf '%-34s %7s GB/s %5s GB/s %9.2f %8s\n' "$1" "$(gbps "$2" "$5")" "$(gbps "$2" "$6")" \
    "$7" "$4"
}
row "-S, 1 GiB list of 26-byte records" "$list_bytes" "$list" ">= 0.8" "'$queuepeek' -S '$list'"
row "-B, 256 MiB bounce report" "$report_bytes" "$report" ">= 0.85" "'$queuepeek' -B '$report'"
# -D writes its list to a file. Before each run, untimed, the last list is removed and the file
# system synced, so that no run pays for freeing or writing back the 53 MB list of the one before.
before_each="rm -f '$data/addresses' && sync"
row "-D, 256 MiB bounce report" "$report_bytes" "$report" ">= 3 GB/s" \
  "'$queuepeek' -D '$report' '$data/addresses'"
before_each=
echo "(ratio: program speed / dd speed on the same file, the median of the rounds)"

printf '\n%-34s %10s %10s %10s %8s\n' "start-up (7 rounds of 500 runs)" "program" "/bin/true" "ratio" "target"
startup_row() {  # startup_row LABEL COMMAND...
  label=$1
  shift
  set -- $(startup_vs_true "$@")
  printf '%-34s %7s us %7s us %9s %8s\n' "$label" "$1" "$2" "$3" "<= 1.02"
}
startup_row "pathprobe on an existing path" "$pathprobe" "$tiny"
startup_row "queuepeek -S on a 26-byte list" "$queuepeek" -S "$tiny"
echo "(ratio: program time / /bin/true time)"

# The same report with CR LF line ends has no ">:" newline at all: every record runs on to
# the end, which must not cost memory.
sed 's/$/\r/' "$data/report-block" >"$data/crlf-block"
repeat_to "$data/crlf-block" "$data/crlf" $((256 * 1024 * 1024))
echo
for pair in "report:$report" "report with CR LF lines:$data/crlf"; do
  printf '%-34s ' "peak resident, -D, 256 MiB ${pair%%:*}"
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f '%M KiB (target: under 4096 KiB)' "$queuepeek" -D "${pair#*:}" "$data/addresses" 2>&1
  else
    echo "unknown: /usr/bin/time is not installed"
  fi
done
