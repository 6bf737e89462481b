// SPDX-License-Identifier: MIT
// The formatted copy's kernels alone, every row this processor runs side by side: processor
// time over blocks already in memory, so that no read, write or page-cache copy hides a
// change to a kernel. Usage: format_kernels TEXT RANDOM [MIB] [ROUNDS]; the first MIB (default
// 64) of each file, the best of ROUNDS (default 5) rounds, the rows taking turns in each.
#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fd_io.h"
#include "format_rows.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: format_kernels TEXT RANDOM [MIB] [ROUNDS]\n");
    return 2;
  }
  const std::size_t limit = (argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64) << 20;
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  const std::vector<unsigned char> files[] = {read_start(argv[1], limit),
                                              read_start(argv[2], limit)};
  if (files[0].empty() || files[1].empty()) {
    std::fprintf(stderr, "format_kernels: cannot read %s or %s\n", argv[1], argv[2]);
    return 1;
  }
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
    std::printf("| %-18s |", c.name);
    for (double seconds : best)
      std::printf(" %8.2f |", static_cast<double>(files[c.file].size()) / seconds / 1e9);
    std::printf("\n");
  }
  return 0;
}
