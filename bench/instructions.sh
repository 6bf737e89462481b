#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Instructions per input byte of each formatted copy and queue scan, counted under qemu-user
# (Debian package qemu-user) with the plugin bench/insn_count.c: the same count on every run,
# for the builds and processor models this machine cannot time natively (32-bit x86, arm64,
# x86-64 without AVX2). A count is not a time: compare two builds, or two columns, of one row.
# Each figure is (instructions on the input - instructions on an empty input) / input bytes,
# so that start-up does not count.
#
# Usage: bench/instructions.sh [NAME=BUILD_DIR...]
#   x86-64=DIR  a 64-bit x86 build, counted at the SSE2 model (qemu64) and the AVX2 model
#   x86=DIR     a 32-bit x86 build, counted at the same two models
#   plain=DIR   a build with the plain path alone (x86-64), at the default model
#   arm64=DIR, arm64-plain=DIR   arm64 builds, whose loader and C library are found in
#               /usr/aarch64-linux-gnu, where Debian's cross compiler puts them, under the root
#               INSN_ARM64_ROOT (default /; set it for builds made in a root of their own)
# Without arguments: build/release, build/release32, build/release-plain, and
# build/release-arm64 and build/release-arm64-plain, each where it has been built.
# INSN_SIZE_MIB sets the size of each input (default 4).
set -euo pipefail
# A failed count stops the table, from within the command substitutions too.
shopt -s inherit_errexit
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
. bench/common.sh

declare -A builds=()
if [ $# -eq 0 ]; then
  for pair in x86-64=build/release x86=build/release32 plain=build/release-plain \
    arm64=build/release-arm64 arm64-plain=build/release-arm64-plain; do
    [ -x "${pair#*=}/runnel/runnel" ] && builds[${pair%%=*}]=${pair#*=}
  done
else
  for pair in "$@"; do
    case ${pair%%=*} in
      x86-64 | x86 | plain | arm64 | arm64-plain) builds[${pair%%=*}]=${pair#*=} ;;
      *) echo "instructions: unknown build name in $pair" >&2; exit 2 ;;
    esac
  done
fi
[ ${#builds[@]} -gt 0 ] || { echo "instructions: no build to count" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
plugin=$work/insn_count.so
cc -O2 -shared -fPIC -o "$plugin" bench/insn_count.c

# The inputs: the shapes of the other benchmarks, from fixed seeds.
bytes=$((${INSN_SIZE_MIB:-4} * 1024 * 1024))
make_text "$work/text" "$bytes"
make_random "$work/random" "$bytes"
make_list "$work/list" "$bytes"
make_report "$work/report" "$bytes"
: >"$work/empty"

# The columns: name, build, emulator, processor model (empty for the emulator's default).
sse2_model=qemu64
avx2_model=Haswell-noTSX,-pcid,-x2apic,-tsc-deadline,-invpcid
columns=()
add_column() { [ -n "${builds[$2]:-}" ] && columns+=("$1|${builds[$2]}|$3|$4"); return 0; }
add_column "x86-64 SSE2" x86-64 qemu-x86_64 "$sse2_model"
add_column "x86 SSE2" x86 qemu-i386 "$sse2_model"
add_column "x86-64 AVX2" x86-64 qemu-x86_64 "$avx2_model"
add_column "x86 AVX2" x86 qemu-i386 "$avx2_model"
add_column "plain x86-64 SSE2" plain qemu-x86_64 "$sse2_model"
add_column "arm64" arm64 qemu-aarch64 ""
add_column "arm64 plain" arm64-plain qemu-aarch64 ""

# emulate EMULATOR MODEL [OPTION...] PROGRAM ARGS...: runs the program under the emulator at
# the processor model, with the emulator's OPTIONs.
emulate() {
  local emulator=$1 model=$2
  shift 2
  local -a options=()
  [ -n "$model" ] && options+=(-cpu "$model")
  [ "$emulator" = qemu-aarch64 ] && options+=(-L "${INSN_ARM64_ROOT:-/}")
  "$emulator" "${options[@]}" "$@"
}

# count EMULATOR MODEL PROGRAM ARGS...: the instructions the program executes.
count() {
  local emulator=$1 model=$2
  shift 2
  emulate "$emulator" "$model" -plugin "$plugin,out=$work/count" "$@" >/dev/null \
    2>"$work/stderr" ||
    { echo "instructions: failed: $emulator ($model) $*" >&2; cat "$work/stderr" >&2; exit 1; }
  cat "$work/count"
}

# per_byte COLUMN INPUT PROGRAM ARGS...: the program's instructions per byte of INPUT, which
# takes the place of each argument "@".
per_byte() {
  local column=$1 input=$2 program=$3
  shift 3
  local build emulator model full empty
  IFS='|' read -r _ build emulator model <<<"$column"
  full=$(count "$emulator" "$model" "$build/$program" "${@/#@/$input}")
  empty=$(count "$emulator" "$model" "$build/$program" "${@/#@/$work/empty}")
  awk -v f="$full" -v e="$empty" -v b="$(wc -c <"$input")" 'BEGIN { printf "%.2f", (f - e) / b }'
}

jobs=(
  "runnel -n, text|text|runnel/runnel -n @"
  "runnel -b, text|text|runnel/runnel -b @"
  "runnel -s, text|text|runnel/runnel -s @"
  "runnel -E, text|text|runnel/runnel -E @"
  "runnel -T, text|text|runnel/runnel -T @"
  "runnel -v, text|text|runnel/runnel -v @"
  "runnel -A, text|text|runnel/runnel -A @"
  "runnel -nA, text|text|runnel/runnel -nA @"
  "runnel -v, random bytes|random|runnel/runnel -v @"
  "runnel -A, random bytes|random|runnel/runnel -A @"
  "queuepeek -S, list|list|queuepeek/queuepeek -S @"
  "queuepeek -B, bounce report|report|queuepeek/queuepeek -B @"
  "queuepeek -D, bounce report|report|queuepeek/queuepeek -D @ $work/addresses"
)

# Ratios of two columns, where both are counted: name, column over column.
ratios=()
has_column() { printf '%s\n' "${columns[@]}" | grep -q "^$1|"; }
for ratio in "x86 / x86-64, SSE2:x86 SSE2:x86-64 SSE2" "x86 / x86-64, AVX2:x86 AVX2:x86-64 AVX2" \
  "arm64 / arm64 plain:arm64:arm64 plain"; do
  IFS=: read -r _ over under <<<"$ratio"
  if has_column "$over" && has_column "$under"; then ratios+=("$ratio"); fi
done

mib=$((bytes / 1024 / 1024))
echo "instructions per input byte, $mib MiB inputs, counted under qemu-user with"
echo "bench/insn_count.c (processor models: SSE2 = $sse2_model, AVX2 = ${avx2_model%%,*}):"
echo "a count, not a time, the same on every run; compare two columns of a row, never a"
echo "column with a time"
# The rows that each column's build takes at its model.
for column in "${columns[@]}"; do
  IFS='|' read -r name build emulator model <<<"$column"
  [ -x "$build/bench/chosen_paths" ] &&
    echo "$name ($build): $(emulate "$emulator" "$model" "$build/bench/chosen_paths" 2>/dev/null)"
done
echo
line="| job"
rule="|---"
for column in "${columns[@]}"; do line+=" | ${column%%|*}"; rule+="|---:"; done
for ratio in "${ratios[@]}"; do line+=" | ${ratio%%:*}"; rule+="|---:"; done
echo "$line |"
echo "$rule|"
for job in "${jobs[@]}"; do
  IFS='|' read -r name input command <<<"$job"
  declare -A figure=()
  line="| $name"
  for column in "${columns[@]}"; do
    # shellcheck disable=SC2086
    figure[${column%%|*}]=$(per_byte "$column" "$work/$input" $command)
    line+=" | ${figure[${column%%|*}]}"
  done
  for ratio in "${ratios[@]}"; do
    IFS=: read -r _ over under <<<"$ratio"
    line+=" | $(awk -v a="${figure[$over]}" -v b="${figure[$under]}" \
      'BEGIN { printf "%.2fx", (b > 0 ? a / b : 0) }')"
  done
  echo "$line |"
  unset figure
done
