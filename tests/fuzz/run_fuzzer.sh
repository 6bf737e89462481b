#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one fuzz target for a bounded time: the committed seeds are read, new inputs go to a
# corpus in the build tree, and a failing input is left there with the target's report.
# Usage: run_fuzzer.sh TARGET SEED_DIR WORK_DIR SECONDS
set -eu
target=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/crashes"
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/crashes/" "$work/corpus" "$seeds"
