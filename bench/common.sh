# SPDX-License-Identifier: MIT
# Timing helpers shared by the benchmark scripts (POSIX sh; sourced, not run).

now() { date +%s%N; }

# The median of the first n values of an awk array, for the helpers below.
median_awk='function median(a, n,   i, j, x) {
  for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
  return a[int((n + 1) / 2)]
}'

# alternate_ns RUNS COMMAND REFERENCE: runs the shell commands COMMAND and REFERENCE in turn,
# RUNS times each, standard output discarded; prints the median time in nanoseconds of each and
# the median of the per-round ratios REFERENCE time / COMMAND time. Taking them in turn lets a
# slow spell of the machine weigh on both: timed one after the other, five runs of each moved a
# ratio from 0.71 to 0.91 between two runs of the same build. When $before_each is set, that
# shell command runs before each run, untimed.
alternate_ns() {
  rounds=$1
  i=0
  while [ $i -lt "$rounds" ]; do
    for command in "$2" "$3"; do
      [ -z "${before_each:-}" ] || sh -c "$before_each"
      start=$(now)
      sh -c "$command" >/dev/null 2>&1 || true
      end=$(now)
      printf '%s ' $((end - start))
    done
    echo
    i=$((i + 1))
  done | LC_ALL=C awk "$median_awk"'
    { c[NR] = $1; r[NR] = $2; q[NR] = $2 / $1 }
    END { printf "%d %d %.4f\n", median(c, NR), median(r, NR), median(q, NR) }'
}

# per_run_ns COUNT COMMAND...: mean nanoseconds per run over COUNT runs. perf stat -r starts
# the runs itself, with far less noise than a shell loop; the loop is the fallback.
per_run_ns() {
  count=$1
  shift
  if perf stat -r 2 /bin/true >/dev/null 2>&1; then
    perf stat -r "$count" "$@" 2>&1 >/dev/null |
      LC_ALL=C awk '/seconds time elapsed/ { sub(",", ".", $1); printf "%d\n", $1 * 1e9 }'
  else
    start=$(now)
    i=0
    while [ $i -lt "$count" ]; do
      "$@" >/dev/null 2>&1 || true
      i=$((i + 1))
    done
    end=$(now)
    echo $(((end - start) / count))
  fi
}

# The locale of the commands measured is the caller's: a comma as the decimal point (LANG=de_DE,
# say) reaches perf's report, and the numbers are read under LC_ALL=C.

# startup_vs_true COMMAND...: prints "PROGRAM_US TRUE_US RATIO". Seven rounds, each timing 500
# runs of /bin/true and then 500 of the command, so that a slow spell of the machine weighs on
# both; the medians of the times and of the per-round ratios.
startup_vs_true() {
  i=0
  while [ $i -lt 7 ]; do
    true_ns=$(per_run_ns 500 /bin/true)
    program_ns=$(per_run_ns 500 "$@")
    echo "$program_ns $true_ns"
    i=$((i + 1))
  done | LC_ALL=C awk "$median_awk"'
    { p[NR] = $1; t[NR] = $2; r[NR] = $1 / $2 }
    END { printf "%.0f %.0f %.2f\n", median(p, NR) / 1000, median(t, NR) / 1000, median(r, NR) }'
}
