// SPDX-License-Identifier: MIT
// The kernels of the formatted copy and of the queue scans alone, every row this processor
// runs side by side: processor time over blocks already in memory, so that no read, write or
// page-cache copy hides a change to a kernel. Usage: format_kernels TEXT RANDOM LIST REPORT
// [MIB] [ROUNDS]: text and random bytes for runnel, a remote-delivery list and a bounce report
// for queuepeek; the first MIB (default 64) of each file, the best of ROUNDS (default 5)
// rounds, the rows taking turns in each.
#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "bounce_extract.h"
#include "fd_io.h"
#include "format_rows.h"
#include "scan_rows.h"
#include "tally.h"

namespace {

constexpr std::size_t k_block = 128 * 1024;

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The first `limit` bytes of the file, or fewer: as many as it has, or as were read before a
// failure.
std::vector<unsigned char> read_start(const char* name, std::size_t limit) {
  std::vector<unsigned char> bytes(limit);
  const UniqueFd fd(open(name, O_RDONLY | O_CLOEXEC));
  std::size_t got = 0;
  while (fd && got < limit) {
    const ssize_t n =
        read_retrying(fd.get(), reinterpret_cast<char*>(bytes.data()) + got, limit - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// Processor seconds for `kernel` over `data`, a block at a time as the copy hands them over:
// each block copied (untimed) into an input buffer with the sentinel and the slack after it.
double time_kernel(FormatFunction kernel, const FormatSwitches& switches,
                   const std::vector<unsigned char>& data, unsigned char* in, char* out) {
  FormatState state;
  double seconds = 0;
  for (std::size_t at = 0; at < data.size(); at += k_block) {
    const std::size_t length = std::min(k_block, data.size() - at);
    std::copy_n(data.data() + at, length, in);
    in[length] = '\n';
    const double start = cpu_seconds();
    for (const unsigned char* p = in; p < in + length;)
      p = kernel(p, in + length, out, out + k_block, switches, state).in;
    seconds += cpu_seconds() - start;
  }
  return seconds;
}

// Processor seconds for one queue scan of `data` by `row`, in the blocks (-S, -B) or chunks
// (-D) that queuepeek reads. -D reads an address cut by a chunk boundary again from `report`,
// the file `data` begins, and its addresses are dropped after each chunk.
double time_scan(char mode, const ScanRow* row, const std::vector<unsigned char>& data,
                 int report, std::span<char> addresses, int dev_null) {
  const char* const bytes = reinterpret_cast<const char*>(data.data());
  const std::size_t step = mode == 'D' ? k_bounce_chunk_size : k_block;
  DoneTally done;
  BouncedTally bounced;
  BounceScan scan;
  done.row = bounced.row = scan.row = row;
  scan.report_fd = report;
  AddressOutput output{dev_null, addresses};
  const double start = cpu_seconds();
  for (std::size_t at = 0; at < data.size(); at += step) {
    const std::span<const char> block(bytes + at, std::min(step, data.size() - at));
    if (mode == 'S') {
      tally_done_recipients(done, block);
    } else if (mode == 'B') {
      tally_bounced_recipients(bounced, block);
    } else {
      if (scan_bounce_chunk(scan, block, output) != ExtractResult::done) {
        std::perror("format_kernels: -D");
        std::exit(1);
      }
      output.length = 0;
    }
  }
  return cpu_seconds() - start;
}

// One line of a table: the case's name and each row's speed over `bytes`.
void print_speeds(const char* name, std::size_t bytes, const std::vector<double>& best) {
  std::printf("| %-18s |", name);
  for (double seconds : best) std::printf(" %8.2f |", static_cast<double>(bytes) / seconds / 1e9);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: format_kernels TEXT RANDOM LIST REPORT [MIB] [ROUNDS]\n");
    return 2;
  }
  const std::size_t limit = (argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 64) << 20;
  const int rounds = argc > 6 ? std::atoi(argv[6]) : 5;
  const std::vector<unsigned char> files[] = {read_start(argv[1], limit),
                                              read_start(argv[2], limit),
                                              read_start(argv[3], limit),
                                              read_start(argv[4], limit)};
  const UniqueFd report(open(argv[4], O_RDONLY | O_CLOEXEC));
  const UniqueFd dev_null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  for (int i = 0; i < 4; ++i) {
    if (files[i].empty() || (i == 3 && !report)) {
      std::fprintf(stderr, "format_kernels: cannot read %s\n", argv[1 + i]);
      return 1;
    }
  }
  if (!dev_null) return 1;
  FormatBuffers buffers(k_block, k_block);  // as runnel allocates them
  if (!buffers) return 1;
  auto* in = reinterpret_cast<unsigned char*>(buffers.in());
  const struct {
    const char* name;
    const char* options;
    int file;
  } cases[] = {{"-n, text", "n", 0},        {"-b, text", "b", 0}, {"-s, text", "s", 0},
               {"-v, text", "v", 0},        {"-A, text", "A", 0}, {"-v, random bytes", "v", 1},
               {"-A, random bytes", "A", 1}};
  std::vector<const FormatRow*> rows;
  for (const FormatRow* row : format_rows())
    if (cpu_runs(row->needs)) rows.push_back(row);
  std::printf(
      "formatted-copy kernels alone: processor time over %zu MiB of text and %zu MiB of "
      "random bytes in %zu KiB blocks already in memory; the best of %d round(s), the "
      "rows in turn\n",
      files[0].size() >> 20, files[1].size() >> 20, k_block / 1024, rounds);
  std::printf("| %-18s |", "GB/s");
  for (const FormatRow* row : rows) std::printf(" %8s |", row->name);
  std::printf("\n");
  for (const auto& c : cases) {
    FormatSwitches switches;
    for (const char* o = c.options; *o != '\0'; ++o) (void)apply_format_option(switches, *o);
    std::vector<double> best(rows.size(), 1e300);
    // Round -1 warms the caches and the buffers' pages, and is not counted.
    for (int round = -1; round < rounds; ++round)
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const double seconds =
            time_kernel(rows[r]->choose(switches), switches, files[c.file], in, buffers.out());
        if (round >= 0) best[r] = std::min(best[r], seconds);
      }
    print_speeds(c.name, files[c.file].size(), best);
  }

  // A chunk's addresses take less room than the chunk, and one cut by its start at most as
  // much again: with this room the output never fills, and nothing is written.
  std::vector<char> addresses(2 * k_bounce_chunk_size);
  std::vector<const ScanRow*> scan_rows_here;
  for (const ScanRow* row : scan_rows())
    if (cpu_runs(row->needs)) scan_rows_here.push_back(row);
  std::printf(
      "\nqueue-scan kernels alone: processor time over %zu MiB of a remote-delivery list and "
      "%zu MiB of a bounce report already in memory, in %zu KiB blocks (-D: %zu KiB chunks, "
      "its addresses dropped); the best of %d round(s), the rows in turn\n",
      files[2].size() >> 20, files[3].size() >> 20, k_block / 1024, k_bounce_chunk_size / 1024,
      rounds);
  std::printf("| %-18s |", "GB/s");
  for (const ScanRow* row : scan_rows_here) std::printf(" %8s |", row->name);
  std::printf("\n");
  const struct {
    const char* name;
    char mode;
    int file;
  } scans[] = {{"-S, list", 'S', 2}, {"-B, bounce report", 'B', 3}, {"-D, bounce report", 'D', 3}};
  for (const auto& c : scans) {
    std::vector<double> best(scan_rows_here.size(), 1e300);
    for (int round = -1; round < rounds; ++round)
      for (std::size_t r = 0; r < scan_rows_here.size(); ++r) {
        const double seconds = time_scan(c.mode, scan_rows_here[r], files[c.file], report.get(),
                                         addresses, dev_null.get());
        if (round >= 0) best[r] = std::min(best[r], seconds);
      }
    print_speeds(c.name, files[c.file].size(), best);
  }
  return 0;
}
