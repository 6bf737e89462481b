// SPDX-License-Identifier: MIT
// The formatted copy: its buffers, the scalar row and the table of rows.
#include "format_copy.h"

#include "cpu_features.h"
#include "format_paths.h"

#include <cstring>

#define FORMAT_TARGET
namespace {
// Plain C++ for every processor: no vector steps.
struct Isa {
  static constexpr unsigned width = 0;
  struct Constants {};
};
}  // namespace
#include "format_engine.h"

namespace {

// Bytes the copy may store past the end of the text it has built.
constexpr std::size_t k_store_slack = k_copy_ahead;

// The input buffer holds a block, the sentinel newline after it, and room for the loads that
// reach past the sentinel.
constexpr std::size_t input_buffer_size(std::size_t insize) { return insize + 1 + k_copy_ahead; }

// The output buffer holds a partial output block not yet written (at most outsize - 1), then
// the most that one pass of the line loop adds before pending output is checked again: an empty
// line's number, "$" and newline, then the next line's number and four bytes for each of its at
// most insize - 1 bytes in this block; and the store slack. The copy that only rewrites bytes
// starts each block with nothing pending and adds at most four bytes per input byte.
constexpr std::size_t output_buffer_size(std::size_t insize, std::size_t outsize) {
  return outsize - 1 + 4 * insize + 2 * k_max_field_text + 2 + k_store_slack;
}

// The output buffer starts this far into a page. Input and output both page-aligned made each
// store alias the loads that follow it at the same page offset (4 KiB aliasing): moving the
// output 2112 bytes off measured 1.7x faster for -v on random bytes through the byte table.
// The shuffle expansion measured the same either way.
constexpr std::size_t k_output_offset = 2112;

}  // namespace

FormatFunction format_function_scalar(const FormatSwitches& switches) {
  return choose_format_function<Isa>(switches);
}

bool apply_format_option(FormatSwitches& switches, int letter) {
  switch (letter) {
    case 'b': switches.number_lines = switches.number_nonblank = true; break;
    case 'e': switches.show_ends = switches.show_nonprinting = true; break;
    case 'n': switches.number_lines = true; break;
    case 's': switches.squeeze_blank = true; break;
    case 't': switches.show_tabs = switches.show_nonprinting = true; break;
    case 'v': switches.show_nonprinting = true; break;
    case 'A': switches.show_nonprinting = switches.show_ends = switches.show_tabs = true; break;
    case 'E': switches.show_ends = true; break;
    case 'T': switches.show_tabs = true; break;
    default: return false;
  }
  return true;
}

FormatBuffers::FormatBuffers(std::size_t insize, std::size_t outsize)
    : m_insize(insize),
      m_outsize(outsize),
      m_in(page_aligned_buffer(input_buffer_size(insize))),
      m_out(page_aligned_buffer(k_output_offset + output_buffer_size(insize, outsize))),
      m_out_start(m_out ? m_out.get() + k_output_offset : nullptr) {}

namespace {

const FormatRow format_row_scalar = {"scalar", {}, format_function_scalar};

const FormatRow* const k_rows[] = {
#ifdef SIMD_X86
    &format_row_avx512, &format_row_avx2, &format_row_ssse3, &format_row_sse2,
#endif
    &format_row_scalar,
};

}  // namespace

std::span<const FormatRow* const> format_rows() { return k_rows; }

const FormatRow* best_format_row() {
  static const FormatRow* const best = [] {
    for (const FormatRow* row : k_rows)
      if (cpu_offers(row->needs)) return row;
    return &format_row_scalar;
  }();
  return best;
}

CopyResult copy_formatted(int input_fd, OutputSink& output, const FormatBuffers& buffers,
                          const FormatSwitches& switches, FormatState& state,
                          bool input_is_output) {
  return best_format_row()->choose(switches)(input_fd, output, buffers, switches, state,
                                             input_is_output);
}
