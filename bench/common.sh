# SPDX-License-Identifier: MIT
# Timing helpers shared by the benchmark scripts (POSIX sh; sourced, not run).

now() { date +%s%N; }

# phase TEXT BYTES RUNS: says on standard error what comes next and roughly how long it takes:
# BYTES of data read at about 1 GB/s, and RUNS programs started at about 2 ms each, the pace of
# the machine these scripts were tried on. Figures vary with the machine and its load.
phase() {
  seconds=$(awk -v b="$2" -v r="$3" 'BEGIN { printf "%d", b / 1e9 + r * 0.002 + 0.5 }')
  if [ "$seconds" -le 1 ]; then
    about="a second or so"
  elif [ "$seconds" -lt 100 ]; then
    about="about $seconds s"
  else
    about="about $(((seconds + 30) / 60)) min"
  fi
  printf '\n-- %s: %s ...\n' "$1" "$about" >&2
}

# targets_note SIZE_MIB ROUNDS: what a target printed beside a figure means on this run.
targets_note() {
  if [ "$1" -ge 1024 ] && [ "$2" -ge 7 ]; then
    echo "targets: set for 1 GiB inputs and 7 rounds on an otherwise idle machine; there a miss"
    echo "is worth looking into (none fails the run), on a busy one it may be the load's doing"
  else
    echo "targets: set for 1 GiB inputs and 7 rounds on an otherwise idle machine; on $1 MiB"
    echo "and $2 round(s) they are shown for information only, and a miss means nothing"
  fi
}

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
  alternate_each_ns "$1" "$3" "$2" |
    { read -r reference_ns ns ratio; echo "$ns $reference_ns $ratio"; }
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

# startup_vs_true ROUNDS COUNT COMMAND...: prints "PROGRAM_US TRUE_US RATIO". ROUNDS rounds, each
# timing COUNT runs of /bin/true and then COUNT of the command, so that a slow spell of the
# machine weighs on both; the medians of the rounds' mean times and of the per-round ratios.
startup_vs_true() {
  rounds=$1
  count=$2
  shift 2
  i=0
  while [ $i -lt "$rounds" ]; do
    true_ns=$(per_run_ns "$count" /bin/true)
    program_ns=$(per_run_ns "$count" "$@")
    echo "$program_ns $true_ns"
    i=$((i + 1))
  done | LC_ALL=C awk "$median_awk"'
    { p[NR] = $1; t[NR] = $2; r[NR] = $1 / $2 }
    END { printf "%.0f %.0f %.2f\n", median(p, NR) / 1000, median(t, NR) / 1000, median(r, NR) }'
}

# alternate_each_ns RUNS COMMAND...: runs the shell commands in turn, RUNS rounds, standard
# output discarded; prints the median time in nanoseconds of each command, then for each
# command after the first the median of the per-round ratios first command's time / its time.
# $before_each runs before each run, untimed, when it is set.
alternate_each_ns() {
  rounds=$1
  shift
  i=0
  while [ $i -lt "$rounds" ]; do
    for command in "$@"; do
      [ -z "${before_each:-}" ] || sh -c "$before_each"
      start=$(now)
      sh -c "$command" >/dev/null 2>&1 || true
      end=$(now)
      printf '%s ' $((end - start))
    done
    echo
    i=$((i + 1))
  done | LC_ALL=C awk "$median_awk"'
    { for (k = 1; k <= NF; k++) t[k, NR] = $k; n = NF }
    END {
      for (k = 1; k <= n; k++) {
        for (r = 1; r <= NR; r++) a[r] = t[k, r]
        printf "%d ", median(a, NR)
      }
      for (k = 2; k <= n; k++) {
        for (r = 1; r <= NR; r++) a[r] = t[1, r] / t[k, r]
        printf "%.4f ", median(a, NR)
      }
      printf "\n" }'
}

# why_not_32_bit_build: prints nothing when "${CXX:-c++} -m32" builds 32-bit x86 programs
# here, all that counting their instructions under qemu-i386 takes, else why not, on one line.
why_not_32_bit_build() {
  case $(uname -m) in
    x86_64 | i?86) ;;
    *) echo "this is not an x86 machine"; return ;;
  esac
  probe_dir=$(mktemp -d)
  # <cerrno> too: a 32-bit compile without asm/errno.h is what Debian 12's cross compilers
  # leave of g++-multilib.
  printf '%s\n' '#include <cerrno>' 'int main() { return 0; }' >"$probe_dir/probe.cc"
  "${CXX:-c++}" -m32 -o "$probe_dir/probe" "$probe_dir/probe.cc" >/dev/null 2>&1 ||
    echo "no 32-bit x86 compiler here (Debian package g++-multilib)"
  rm -rf "$probe_dir"
}

# why_not_32_bit: prints nothing when the 32-bit x86 programs built with "${CXX:-c++} -m32"
# can be timed here, else why not, on one line.
# Under an emulator their times mean nothing, and a 32-bit program cannot tell that itself:
# qemu-user answers its questions about /proc/self/exe and its auxiliary vector with the
# program's own values, and a binfmt_misc entry for i386 is consulted before the kernel's own
# ELF loader, so even a kernel that runs them natively may hand them to an emulator. So a
# 32-bit probe asks a native program, readlink, started through system(), for the executable
# that the kernel started as its parent, /proc/$PPID/exe: the probe itself when it runs
# natively, the emulator (/usr/bin/qemu-i386-static, say) when it does not. Set
# BENCH_MEASURE_EMULATED=1 to measure under an emulator anyway (for trying the script only).
why_not_32_bit() {
  cannot_build=$(why_not_32_bit_build)
  [ -z "$cannot_build" ] || { echo "not measured: $cannot_build"; return; }
  probe_dir=$(mktemp -d)
  printf '%s\n' '#include <cstdlib>' \
    'int main() { return std::system("exec readlink /proc/$PPID/exe") == 0 ? 0 : 1; }' \
    >"$probe_dir/probe.cc"
  "${CXX:-c++}" -m32 -o "$probe_dir/probe" "$probe_dir/probe.cc" >/dev/null 2>&1
  if ! started=$("$probe_dir/probe" 2>/dev/null); then
    echo "not measured: this kernel does not run 32-bit x86 programs"
  elif [ "$started" != "$(readlink -f "$probe_dir/probe")" ] &&
    [ "${BENCH_MEASURE_EMULATED:-}" != 1 ]; then
    echo "not measured: this kernel runs 32-bit x86 programs only under an emulator ($started)"
  fi
  rm -rf "$probe_dir"
}

# The benchmarks' inputs, the same bytes on every run: fill_to BLOCK FILE BYTES writes FILE
# with copies of BLOCK, cut to exactly BYTES. The file is sourced by the scripts that call it,
# so its variables are named for it alone: a `size` here once changed run.sh's.
fill_to() {
  fill_block_bytes=$(wc -c <"$1")
  fill_copies=$(($3 / fill_block_bytes + 1))
  # head ends the loop's output early on purpose.
  fill_i=0
  while [ $fill_i -lt $fill_copies ]; do cat "$1"; fill_i=$((fill_i + 1)); done |
    head -c "$3" >"$2" || true
}

# make_text FILE BYTES: lines of 30 to 90 bytes of hexadecimal words, every seventh one empty.
make_text() {
  awk 'BEGIN { srand(7); for (i = 0; i < 17000; i++) {
         if (i % 7 == 3) { print ""; continue }
         n = 30 + int(rand() * 60); s = ""
         while (length(s) < n) s = s sprintf("%x ", int(rand() * 1e6))
         print substr(s, 1, n) } }' >"$1.block"
  fill_to "$1.block" "$1" "$2"
  rm -f "$1.block"
}

# make_random FILE BYTES: bytes of every value alike, 64 KiB of them repeated.
make_random() {
  awk 'BEGIN { srand(11); for (i = 0; i < 65536; i++) printf "%c", int(rand() * 256) }' \
    >"$1.block"
  fill_to "$1.block" "$1" "$2"
  rm -f "$1.block"
}

# make_list FILE BYTES: a remote-delivery list of 26-byte records, "D" (finished) for about
# 60 % of them, else "T".
make_list() {
  awk 'BEGIN { srand(7); for (i = 0; i < 40000; i++)
    printf "%srcpt%05d@host%02d.example\n", (rand() < 0.6 ? "D" : "T"), i, i % 97 }' |
    tr '\n' '\000' >"$1.block"
  fill_to "$1.block" "$1" "$2"
  rm -f "$1.block"
}

# make_report FILE BYTES: a bounce report with records as qmail writes them, 150 to 400 bytes,
# some with reply lines that end in ">:" and some with empty reasons.
make_report() {
  awk 'BEGIN { for (i = 0; i < 4000; i++) {
    printf "<user%05d@mx%02d.example.net>:\n", i, i % 53
    k = i % 5
    if (k == 0) printf "127.0.0.1 does not like recipient.\nRemote host said: 550 5.1.1 <user%05d>: user unknown\nGiving up on 127.0.0.1.\n", i
    else if (k == 1) printf "127.0.0.1 does not like recipient.\nRemote host said: 550-5.1.1 The email account that you tried to reach does not exist.\n550-5.1.1\n550 5.1.1 Please check the address.\nGiving up on 127.0.0.1.\n"
    else if (k == 2) printf "Sorry, no mailbox here by that name. (#5.1.1)\n"
    else if (k == 3) printf "Remote host said: 550-5.7.1 Recipient rejected for <victim%d@example.net>:\n550 5.7.1 see policy\nGiving up on 127.0.0.1.\n", i
    else printf "I'"'"'m not going to try again; this message has been in the queue too long.\n"
    printf "\n" } }' >"$1.block"
  fill_to "$1.block" "$1" "$2"
  rm -f "$1.block"
}
