// SPDX-License-Identifier: MIT
// Fuzz target for the formatted copy. The input picks the switches, the block sizes, where the
// stream is cut into operands and how many bytes each read returns; the rest is the text. On
// every path the processor runs, the output must equal the output of one operand read in one
// block, and the output of a plain byte-at-a-time formatter written below from the rules,
// without any of the engine's tricks.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format_rows.h"
#include "format_rules.h"

namespace {

// Descriptors that exist only in this target: reads of k_input_fd are served from g_input in
// slices of the scheduled sizes, writes to k_output_fd are collected in g_output.
constexpr int k_input_fd = 9001;
constexpr int k_output_fd = 9002;

std::string_view g_input;
std::size_t g_input_pos = 0;
std::vector<std::size_t> g_read_sizes;  // consumed round-robin; empty means "as asked"
std::size_t g_read_index = 0;
std::string g_output;

// A small deterministic generator, so that a crashing input replays exactly.
struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::size_t below(std::size_t bound) { return bound == 0 ? 0 : next() % bound; }
};

struct Plan {
  FormatSwitches switches;
  std::uint64_t first_number = 0;  // the line number already used before the stream
  std::size_t insize = 1;
  std::size_t outsize = 1;
  std::vector<std::size_t> cuts;        // operand boundaries, ascending, inside the text
  std::vector<std::size_t> read_sizes;  // sizes of successive reads, cycled
};

using test_support::reference_format;

std::string digits_of(std::uint64_t value) { return std::to_string(value); }

// Runs the engine over `text` cut into operands at `cuts`, with reads of `read_sizes`.
std::string engine_format(std::string_view text, const Plan& plan,
                          const std::vector<std::size_t>& cuts,
                          const std::vector<std::size_t>& read_sizes, std::size_t insize,
                          std::size_t outsize, const FormatRow& row) {
  FormatBuffers buffers(insize, outsize);
  if (!buffers) std::abort();
  FormatState state;
  if (plan.first_number != 0) state.line = line_counter_at(digits_of(plan.first_number));
  g_output.clear();
  g_read_sizes = read_sizes;
  g_read_index = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    std::size_t end = i < cuts.size() ? cuts[i] : text.size();
    g_input = text.substr(begin, end - begin);
    g_input_pos = 0;
    OutputSink output{k_output_fd};
    CopyResult result =
        copy_formatted_by(row.choose(plan.switches), k_input_fd, output, buffers, plan.switches,
                          state);
    if (result != CopyResult::done) std::abort();
    begin = end;
  }
  return g_output;
}

Plan read_plan(const std::uint8_t*& data, std::size_t& size) {
  Plan plan;
  std::uint8_t header[5] = {};
  for (std::size_t i = 0; i < sizeof header && size > 0; ++i, ++data, --size) header[i] = *data;
  plan.switches.show_nonprinting = header[0] & 1;
  plan.switches.show_tabs = header[0] & 2;
  plan.switches.number_lines = header[0] & 4;
  plan.switches.number_nonblank = header[0] & 8;
  plan.switches.show_ends = header[0] & 16;
  plan.switches.squeeze_blank = header[0] & 32;
  static constexpr std::uint64_t first_numbers[] = {0, 0, 999994, 9999999994ULL};
  plan.first_number = first_numbers[header[0] >> 6];
  plan.insize = 1 + header[1] % 64 + (header[1] >= 192 ? 4096 : 0);
  plan.outsize = 1 + header[2] % 64 + (header[2] >= 192 ? 4096 : 0);
  Random random{static_cast<std::uint64_t>(header[3]) << 8 | header[4]};
  std::size_t operands = random.below(4);
  for (std::size_t i = 0; i < operands; ++i) plan.cuts.push_back(random.below(size + 1));
  std::sort(plan.cuts.begin(), plan.cuts.end());
  std::size_t reads = 1 + random.below(8);
  for (std::size_t i = 0; i < reads; ++i) plan.read_sizes.push_back(1 + random.below(16));
  if (random.below(2) == 0) plan.read_sizes.clear();
  return plan;
}

}  // namespace

// Reads and writes of the target's own descriptors never reach the kernel; everything else
// (the fuzzer's own files) does.
extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  if (fd != k_input_fd) return syscall(SYS_read, fd, buffer, size);
  std::size_t left = g_input.size() - g_input_pos;
  std::size_t count = size < left ? size : left;
  if (!g_read_sizes.empty()) {
    std::size_t limit = g_read_sizes[g_read_index++ % g_read_sizes.size()];
    if (count > limit) count = limit;
  }
  std::memcpy(buffer, g_input.data() + g_input_pos, count);
  g_input_pos += count;
  return static_cast<ssize_t>(count);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t length) {
  if (fd != k_output_fd) return syscall(SYS_write, fd, buffer, length);
  g_output.append(static_cast<const char*>(buffer), length);
  return static_cast<ssize_t>(length);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Plan plan = read_plan(data, size);
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string expected = reference_format(text, plan.switches, plan.first_number);
  std::size_t whole_block = text.empty() ? 1 : text.size();
  for (const FormatRow* row : format_rows()) {
    if (!cpu_runs(row->needs)) continue;
    std::string cut = engine_format(text, plan, plan.cuts, plan.read_sizes, plan.insize,
                                    plan.outsize, *row);
    std::string whole = engine_format(text, plan, {}, {}, whole_block, whole_block, *row);
    if (cut != whole) {
      std::fprintf(stderr, "%s row: operands and short reads changed the output\n", row->name);
      std::abort();
    }
    if (whole != expected) {
      std::fprintf(stderr, "%s row: the output differs from the byte-by-byte formatter\n",
                   row->name);
      std::abort();
    }
  }
  return 0;
}
