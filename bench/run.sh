#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks of the programs, each beside a reference measured in the same run: builds a Release
# binary, makes the data (about 2.3 GiB in a folder from mktemp -d, removed at the end; or kept
# in $BENCH_DATA when that is set, for the next run), and prints medians of several runs as GB/s
# and ratios. Timings vary with the machine's load: compare the ratios, not the absolute numbers.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${BENCH_RUNS:-5}
if [ -n "${BENCH_DATA:-}" ]; then
  data=$BENCH_DATA
else
  data=$(mktemp -d)
  trap 'rm -rf "$data"' EXIT
fi
build=build/release

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
runnel=$PWD/$build/runnel/runnel

mkdir -p "$data"
gib=$((1024 * 1024 * 1024))
text=$data/text-1g
binary=$data/random-1g
empty=$data/empty
: > "$empty"

if [ ! -f "$text" ] || [ "$(stat -c %s "$text")" -ne $gib ]; then
  # Lines of about 60 bytes, every seventh one empty, repeated up to 1 GiB.
  awk 'BEGIN { srand(7); for (i = 0; i < 17000; i++) {
         if (i % 7 == 3) { print ""; continue }
         n = 30 + int(rand() * 60); s = ""
         while (length(s) < n) s = s sprintf("%x ", int(rand() * 1e6))
         print substr(s, 1, n) } }' > "$data/text-chunk"
  while [ "$(stat -c %s "$data/text-chunk")" -lt $((64 * 1024 * 1024)) ]; do
    { tail -c +1 "$data/text-chunk"; tail -c +1 "$data/text-chunk"; } > "$data/text-chunk2"
    mv "$data/text-chunk2" "$data/text-chunk"
  done
  # head ends the pipeline early on purpose: no pipefail here.
  (set +o pipefail; for _ in $(seq 20); do tail -c +1 "$data/text-chunk"; done | head -c $gib > "$text")
  rm -f "$data/text-chunk"
fi
if [ ! -f "$binary" ] || [ "$(stat -c %s "$binary")" -ne $gib ]; then
  head -c $gib /dev/urandom > "$binary"
fi
# Bring both into the page cache.
tail -c +1 "$text" > /dev/null; tail -c +1 "$binary" > /dev/null

. bench/common.sh

# median_seconds COMMAND: median time in seconds of $runs runs of the shell command.
median_seconds() {
  bash -c "$1" >/dev/null 2>&1 || { echo "failed: $1" >&2; exit 1; }
  median_ns "$runs" bash -c "$1" | awk '{ printf "%.6f", $1 / 1e9 }'
}

gbps() { awk -v s="$1" -v b=$gib 'BEGIN { printf "%.2f", b / s / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }

row() {  # name seconds reference-name reference-seconds
  printf '| %-44s | %7s GB/s | %-40s | %7s GB/s | %5sx |\n' "$1" "$(gbps "$2")" "$3" "$(gbps "$4")" "$(ratio "$2" "$4")"
}

echo
echo "runnel, $runs runs each, median; ratio = reference time / runnel time (higher is better)"
echo
printf '| %-44s | %12s | %-40s | %12s | %6s |\n' "runnel" "speed" "reference" "speed" "ratio"
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..46})" "$(printf -- '-%.0s' {1..14})" "$(printf -- '-%.0s' {1..42})" "$(printf -- '-%.0s' {1..14})" "--------"

plain=$(median_seconds "$runnel $text > /dev/null")
dd_null=$(median_seconds "dd if=$text of=/dev/null bs=128K")
row "plain, 1 GiB to /dev/null" "$plain" "dd bs=128K to /dev/null" "$dd_null"

plain_pipe=$(median_seconds "$runnel $text | dd of=/dev/null bs=128K")
dd_pipe=$(median_seconds "dd if=$text bs=64K | dd of=/dev/null bs=128K")
row "plain, 1 GiB through a pipe" "$plain_pipe" "dd bs=64K | dd bs=128K" "$dd_pipe"

number=$(median_seconds "$runnel -n $text > /dev/null")
row "-n, 1 GiB of text" "$number" "plain runnel, same file" "$plain"

plain_binary=$(median_seconds "$runnel $binary > /dev/null")
visible=$(median_seconds "$runnel -v $binary > /dev/null")
row "-v, 1 GiB of random bytes" "$visible" "plain runnel, same file" "$plain_binary"
show_all=$(median_seconds "$runnel -A $binary > /dev/null")
row "-A, 1 GiB of random bytes" "$show_all" "plain runnel, same file" "$plain_binary"

# Start-up on an empty file beside /bin/true, alternating in rounds.
echo
printf '| %-30s | %9s | %9s | %8s |\n' "start-up" "per run" "true" "ratio"
printf '|%s|%s|%s|%s|\n' "--------------------------------" "-----------" "-----------" "----------"
startup_row() {  # name command...
  local name=$1
  shift
  read -r program_us true_us startup_ratio <<< "$(startup_vs_true "$@")"
  printf '| %-30s | %6s us | %6s us | %7sx |\n' "$name" "$program_us" "$true_us" "$startup_ratio"
}
startup_row "runnel, empty file" "$runnel" "$empty"
startup_row "runnel -n, empty file" "$runnel" -n "$empty"

# Peak resident size, which must not grow with the input or the line length. GNU time reports
# it (its own small process image before the exec counts too, so this is an upper bound).
echo
if [ -x /usr/bin/time ]; then
  peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
  printf '| %-40s | %10s |\n' "peak resident size" "KiB"
  printf '|%s|%s|\n' "------------------------------------------" "------------"
  printf '| %-40s | %10s |\n' "/bin/true (for scale)" "$(peak_kib /bin/true)"
  printf '| %-40s | %10s |\n' "runnel, empty file" "$(peak_kib "$runnel" "$empty")"
  printf '| %-40s | %10s |\n' "runnel, 1 GiB text" "$(peak_kib "$runnel" "$text")"
  printf '| %-40s | %10s |\n' "runnel -n, 1 GiB text" "$(peak_kib "$runnel" -n "$text")"
  printf '| %-40s | %10s |\n' "runnel -A, 1 GiB random bytes" "$(peak_kib "$runnel" -A "$binary")"
else
  echo "peak resident size: /usr/bin/time is not installed (Debian package time)"
fi

if [ -f bench/queue.sh ]; then
  echo
  bash bench/queue.sh "$PWD/$build"
fi
