#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks of the programs, each beside a reference measured in the same run: builds a Release
# binary, makes the data (in a folder from mktemp -d, removed at the end; or kept in $BENCH_DATA
# when that is set, for the next run), and prints medians of several runs as GB/s and ratios.
# Then bench/queue.sh, which ends with the table of this build beside a 32-bit x86 build
# (build/release32, measured only where the kernel runs 32-bit programs without an emulator)
# and a build with the plain path alone (build/release-plain); last, the instructions per
# input byte of every build made, arm64 ones too where the cross compiler is installed,
# counted under qemu-user (bench/instructions.sh).
# Disk: 2.1 GiB of data here, 3.1 GiB while a copy to a file is timed, then 1.55 GiB more for
# bench/queue.sh while this data is kept: at most about 3.7 GiB at once. Timings vary with the
# machine's load: compare the ratios, not the absolute numbers.
# For trying the scripts: BENCH_RUNS rounds of each row (default 7; a start-up round times 100
# runs of each program per round asked for, up to 500) and BENCH_SIZE_MIB of each file
# (default 1024, the size the targets are set for). Each build and each table is announced on
# standard error as it starts, with roughly how long it takes.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

runs=${BENCH_RUNS:-7}
size_mib=${BENCH_SIZE_MIB:-1024}
bytes=$((size_mib * 1024 * 1024))
startup_count=$((runs < 5 ? runs * 100 : 500))
export BENCH_STARTUP_COUNT=$startup_count
if [ -n "${BENCH_DATA:-}" ]; then
  data=$BENCH_DATA
else
  data=$(mktemp -d)
  trap 'rm -rf "$data"' EXIT
fi
# BENCH_BUILD names a folder of already built programs (another revision's, say) to measure
# instead of building this tree's; BENCH_BUILD32 and BENCH_BUILD_PLAIN then name the 32-bit and
# the plain-path builds to measure beside it, if any.
build32=
build_plain=
not_measured32=
not_measured_plain="not measured: no build named (BENCH_BUILD_PLAIN)"
# The builds whose instructions are counted (bench/instructions.sh NAME=FOLDER), and why any
# other is not.
counted=()
not_counted=()
if [ -n "${BENCH_BUILD:-}" ]; then
  build=$(cd "$BENCH_BUILD" && pwd)
  [ -z "${BENCH_BUILD32:-}" ] || build32=$(cd "$BENCH_BUILD32" && pwd)
  [ -z "${BENCH_BUILD_PLAIN:-}" ] || build_plain=$(cd "$BENCH_BUILD_PLAIN" && pwd)
  [ -n "$build32" ] || not_measured32="not measured: no build named (BENCH_BUILD32)"
  counted=("x86-64=$build")
  [ -z "$build32" ] || counted+=("x86=$build32")
  [ -z "$build_plain" ] || counted+=("plain=$build_plain")
else
  # g++-multilib is optional, as it cannot be installed beside Debian 12's cross compilers:
  # with it, the 32-bit build is counted, and timed where the kernel runs it natively. With
  # the arm64 cross compiler instead, the two arm64 builds are counted.
  not_measured32=$(why_not_32_bit)
  cannot_build32=$(why_not_32_bit_build)
  presets="release release-plain"
  counted=("x86-64=build/release" "plain=build/release-plain")
  if [ -z "$cannot_build32" ]; then
    presets="$presets release32"
    counted+=("x86=build/release32")
  else
    not_counted+=("32-bit x86: not counted: $cannot_build32")
  fi
  if command -v aarch64-linux-gnu-g++ >/dev/null; then
    presets="$presets release-arm64 release-arm64-plain"
    counted+=("arm64=build/release-arm64" "arm64-plain=build/release-arm64-plain")
  else
    not_counted+=("arm64: not counted: no arm64 cross compiler here (g++-aarch64-linux-gnu)")
  fi
  for preset in $presets; do
    case $preset in
      release) what="the x86-64 programs, optimised" ;;
      release-plain) what="the same with the plain path alone" ;;
      release32) what="the same as 32-bit x86 programs" ;;
      release-arm64) what="the same for arm64, to count their instructions" ;;
      release-arm64-plain) what="the arm64 programs with the plain path alone" ;;
    esac
    # Tried on two idle cores: 8 to 15 s each from nothing, under a second when up to date.
    echo "-- building build/$preset, $what: under a minute the first time, seconds" \
      "after that ..." >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
  done
  build=$PWD/build/release
  build_plain=$PWD/build/release-plain
  [ -n "$not_measured32" ] || build32=$PWD/build/release32
fi
runnel=$build/runnel/runnel

# What was measured: the processor, the compiler, and the code path each engine takes here.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
echo "processor: $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)"
echo "compiler: $("${compiler:-c++}" --version | head -n 1)"
[ -x "$build/bench/chosen_paths" ] && echo "paths: $("$build/bench/chosen_paths")"
echo "load average at the start: $(cut -d ' ' -f 1-3 /proc/loadavg), on $(nproc) processors"
targets_note "$size_mib" "$runs"
export BENCH_TARGETS_SAID=1

mkdir -p "$data"
size="$size_mib MiB"
[ "$size" != "1024 MiB" ] || size="1 GiB"
text=$data/text-1g
binary=$data/random-1g
empty=$data/empty
: > "$empty"

phase "making $size of text and $size of random bytes in $data (unless kept there)" \
  $((bytes * 10)) 0
# Lines of about 60 bytes, every seventh one empty; bytes of every value alike (bench/common.sh).
[ -f "$text" ] && [ "$(stat -c %s "$text")" -eq $bytes ] || make_text "$text" $bytes
[ -f "$binary" ] && [ "$(stat -c %s "$binary")" -eq $bytes ] || make_random "$binary" $bytes
# Bring both into the page cache. How their pages got there can weigh on every row: one copy
# of the text, made through a pipe in small writes, took dd bs=128K 0.13-0.17 s a GiB to read
# here, and the same bytes 0.06-0.07 s once written in 1 MiB blocks or dropped and read back
# from disk. The bench's own files read at either speed from one run to the next.
tail -c +1 "$text" > /dev/null; tail -c +1 "$binary" > /dev/null

# measure COMMAND REFERENCE: times the two shell commands in turn, $runs rounds, and sets ns and
# reference_ns (medians) and ratio (reference time / command time, the median of the rounds).
measure() {
  for command in "$1" "$2"; do
    sh -c "$command" >/dev/null 2>&1 || { echo "failed: $command" >&2; exit 1; }
  done
  read -r ns reference_ns ratio <<<"$(alternate_ns "$runs" "$1" "$2")"
}

gbps() { awk -v ns="$1" -v b=$bytes 'BEGIN { printf "%.2f", b / ns }'; }

row() {  # name reference-name target: prints what measure found
  printf '| %-34s | %7s GB/s | %-30s | %7s GB/s | %5.2fx | %-10s |\n' "$1" "$(gbps "$ns")" "$2" \
    "$(gbps "$reference_ns")" "$ratio" "$3"
}

# Ten rows, each command and its reference run once more before the rounds: on the machine
# these scripts were tried on, as long as reading the data 8 times a round at 1 GB/s.
phase "timing runnel's copies beside dd and plain runnel, $runs round(s)" \
  $((bytes * 8 * (runs + 1))) 0
echo
echo "runnel: each command and its reference in turn, $runs round(s); speed: the median of the"
echo "rounds; ratio: reference time / runnel time in each round, the median of those ratios (so"
echo "it can differ a little from the ratio of the two speeds); higher is better"
echo
printf '| %-34s | %12s | %-30s | %12s | %6s | %-10s |\n' "runnel" "speed" "reference" "speed" "ratio" "target"
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..36})" "$(printf -- '-%.0s' {1..14})" \
  "$(printf -- '-%.0s' {1..32})" "$(printf -- '-%.0s' {1..14})" "--------" "------------"

measure "$runnel $text > /dev/null" "dd if=$text of=/dev/null bs=128K"
row "plain, text to /dev/null" "dd bs=128K to /dev/null" ""

measure "$runnel $text | dd of=/dev/null bs=128K" "dd if=$text bs=128K | dd of=/dev/null bs=128K"
row "plain, text into a pipe" "dd bs=128K | dd bs=128K" ">= 1.8x"

# File to file in the data folder. Before each run, untimed, the last copy is removed and the
# file system synced, so that neither command pays for freeing or writing back the one before.
copy=$data/copy
export before_each="rm -f '$copy' && sync"
measure "$runnel $text > $copy" "dd if=$text of=$copy bs=128K"
unset before_each
rm -f "$copy"
row "plain, text to a file" "dd bs=128K to a file" ">= 1.2x"

# The formatted copies, each beside a plain copy of the same file.
for pair in "-n:>= 4 GB/s" "-v:>= 5 GB/s" "-A:>= 3 GB/s"; do
  measure "$runnel ${pair%%:*} $text > /dev/null" "$runnel $text > /dev/null"
  row "${pair%%:*}, text" "plain runnel, same file" "${pair#*:}"
done
for pair in "-v:>= 2.5 GB/s" "-A:>= 2.5 GB/s"; do
  measure "$runnel ${pair%%:*} $binary > /dev/null" "$runnel $binary > /dev/null"
  row "${pair%%:*}, random bytes" "plain runnel, same file" "${pair#*:}"
done

# Start-up on an empty file beside /bin/true, alternating in rounds.
phase "timing runnel's start-up beside /bin/true, $runs round(s) of $startup_count runs each" \
  0 $((4 * runs * 2 * startup_count))
echo
echo "start-up: $runs round(s), each $startup_count runs of /bin/true, then $startup_count of runnel;"
echo "per run: the median of the rounds' mean times; ratio: runnel time / true time in each"
echo "round, the median of those ratios (so it can differ from the ratio of the two times)"
echo
printf '| %-40s | %9s | %9s | %8s | %-8s |\n' "start-up" "per run" "true" "ratio" "target"
printf '|%s|%s|%s|%s|%s|\n' "------------------------------------------" "-----------" "-----------" \
  "----------" "----------"
startup_row() {  # name command...
  local name=$1
  shift
  read -r program_us true_us startup_ratio <<< "$(startup_vs_true "$runs" "$startup_count" "$@")"
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
phase "measuring runnel's peak resident size" $((bytes * 3)) 2
echo
if [ -x /usr/bin/time ]; then
  peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
  printf '| %-40s | %10s |\n' "peak resident size" "KiB"
  printf '|%s|%s|\n' "------------------------------------------" "------------"
  printf '| %-40s | %10s |\n' "/bin/true (for scale)" "$(peak_kib /bin/true)"
  printf '| %-40s | %10s |\n' "runnel, empty file" "$(peak_kib "$runnel" "$empty")"
  printf '| %-40s | %10s |\n' "runnel, $size text" "$(peak_kib "$runnel" "$text")"
  printf '| %-40s | %10s |\n' "runnel -n, $size text" "$(peak_kib "$runnel" -n "$text")"
  printf '| %-40s | %10s |\n' "runnel -A, $size random bytes" "$(peak_kib "$runnel" -A "$binary")"
else
  echo "peak resident size: /usr/bin/time is not installed (Debian package time)"
fi

if [ -x "$build/bench/format_kernels" ]; then
  # Seven cases over the first 64 MiB of a file, each by every row, then three queue scans,
  # one warming round more: about as long as reading them 24 times a round at 1 GB/s. The
  # scans take a list and a report of their own, of that size.
  kernel_bytes=$((bytes < 64 * 1024 * 1024 ? bytes : 64 * 1024 * 1024))
  list=$data/list-kernels
  report=$data/report-kernels
  [ -f "$list" ] && [ "$(stat -c %s "$list")" -eq $kernel_bytes ] || make_list "$list" $kernel_bytes
  [ -f "$report" ] && [ "$(stat -c %s "$report")" -eq $kernel_bytes ] ||
    make_report "$report" $kernel_bytes
  phase "timing the formatted-copy and queue-scan kernels alone, $runs round(s)" \
    $((kernel_bytes * 24 * (runs + 1))) 0
  echo
  "$build/bench/format_kernels" "$text" "$binary" "$list" "$report" 64 "$runs"
fi

if [ -f bench/queue.sh ]; then
  echo
  BENCH_BUILD32=$build32 BENCH_BUILD_PLAIN=$build_plain BENCH_NOT_MEASURED32=$not_measured32 \
    BENCH_NOT_MEASURED_PLAIN=$not_measured_plain BENCH_TEXT=$text BENCH_RANDOM=$binary \
    bash bench/queue.sh "$build"
fi

# Beside the times, the instructions each build executes per input byte, counted under
# qemu-user: the same on every run, and taken for builds and processor models that this
# machine cannot time (32-bit x86 under an emulator, arm64, x86-64 without AVX2). On two
# cores of the machine these scripts were tried on, about 5 s a build, on the 4 MiB inputs
# that it makes. Like a missed target, a count that fails does not fail the run.
echo
if [ "$(uname -m)" != x86_64 ]; then
  echo "instructions per input byte: not counted, the table's columns are set for x86-64 hosts"
elif ! command -v qemu-x86_64 >/dev/null; then
  echo "instructions per input byte: not counted, no qemu-x86_64 here (Debian package qemu-user)"
else
  phase "counting the instructions per input byte of ${#counted[@]} build(s) under qemu-user" \
    $((${#counted[@]} * 5000000000)) 0
  bash bench/instructions.sh "${counted[@]}" ||
    echo "instructions per input byte: the count failed (its message is above)"
fi
for line in "${not_counted[@]}"; do echo "$line"; done
