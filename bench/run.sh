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
# BENCH_BUILD names a folder of already built programs (another revision's, say) to measure
# instead of building this tree's.
if [ -n "${BENCH_BUILD:-}" ]; then
  build=$(cd "$BENCH_BUILD" && pwd)
else
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" >/dev/null
  build=$PWD/build/release
fi
runnel=$build/runnel/runnel

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

row() {  # name seconds reference-name reference-seconds target
  printf '| %-34s | %7s GB/s | %-30s | %7s GB/s | %5sx | %-10s |\n' "$1" "$(gbps "$2")" "$3" \
    "$(gbps "$4")" "$(ratio "$2" "$4")" "$5"
}

echo
echo "runnel, $runs runs each, median; ratio = reference time / runnel time (higher is better)"
echo
printf '| %-34s | %12s | %-30s | %12s | %6s | %-10s |\n' "runnel" "speed" "reference" "speed" "ratio" "target"
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..36})" "$(printf -- '-%.0s' {1..14})" \
  "$(printf -- '-%.0s' {1..32})" "$(printf -- '-%.0s' {1..14})" "--------" "------------"

plain=$(median_seconds "$runnel $text > /dev/null")
dd_null=$(median_seconds "dd if=$text of=/dev/null bs=128K")
row "plain, text to /dev/null" "$plain" "dd bs=128K to /dev/null" "$dd_null" ""

plain_pipe=$(median_seconds "$runnel $text | dd of=/dev/null bs=128K")
dd_pipe=$(median_seconds "dd if=$text bs=128K | dd of=/dev/null bs=128K")
row "plain, text into a pipe" "$plain_pipe" "dd bs=128K | dd bs=128K" "$dd_pipe" ">= 1.8x"

# File to file in the data folder. Before each run, untimed, the last copy is removed and the
# file system synced, so that neither command pays for freeing or writing back the one before.
copy=$data/copy
export before_each="rm -f '$copy' && sync"
plain_file=$(median_seconds "$runnel $text > $copy")
dd_file=$(median_seconds "dd if=$text of=$copy bs=128K")
unset before_each
rm -f "$copy"
row "plain, text to a file" "$plain_file" "dd bs=128K to a file" "$dd_file" ">= 1.2x"

number=$(median_seconds "$runnel -n $text > /dev/null")
row "-n, text" "$number" "plain runnel, same file" "$plain" ">= 4 GB/s"
visible_text=$(median_seconds "$runnel -v $text > /dev/null")
row "-v, text" "$visible_text" "plain runnel, same file" "$plain" ">= 5 GB/s"
show_all_text=$(median_seconds "$runnel -A $text > /dev/null")
row "-A, text" "$show_all_text" "plain runnel, same file" "$plain" ">= 3 GB/s"

plain_binary=$(median_seconds "$runnel $binary > /dev/null")
visible=$(median_seconds "$runnel -v $binary > /dev/null")
row "-v, random bytes" "$visible" "plain runnel, same file" "$plain_binary" ">= 2.5 GB/s"
show_all=$(median_seconds "$runnel -A $binary > /dev/null")
row "-A, random bytes" "$show_all" "plain runnel, same file" "$plain_binary" ">= 2.5 GB/s"

# Start-up on an empty file beside /bin/true, alternating in rounds.
echo
printf '| %-40s | %9s | %9s | %8s | %-8s |\n' "start-up" "per run" "true" "ratio" "target"
printf '|%s|%s|%s|%s|%s|\n' "------------------------------------------" "-----------" "-----------" \
  "----------" "----------"
startup_row() {  # name command...
  local name=$1
  shift
  read -r program_us true_us startup_ratio <<< "$(startup_vs_true "$@")"
  printf '| %-40s | %6s us | %6s us | %7sx | %-8s |\n' "$name" "$program_us" "$true_us" \
    "$startup_ratio" "<= 1.05x"
}
# /bin/true and runnel see the same locale settings in each row.
for locale in C.UTF-8 de_DE.UTF-8; do
  (
    unset LC_ALL LANGUAGE
    export LANG=$locale
    startup_row "runnel, empty file, LANG=$locale" "$runnel" "$empty"
    startup_row "runnel -n, empty file, LANG=$locale" "$runnel" -n "$empty"
  )
done

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
  bash bench/queue.sh "$build"
fi
