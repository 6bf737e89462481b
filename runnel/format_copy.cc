// SPDX-License-Identifier: MIT
// The formatted copy: its buffers, its read loop and the table of rows.
#include "format_copy.h"

#include "cpu_features.h"
#include "format_rows.h"

#include <algorithm>
#include <cstring>

namespace {

// The input buffer holds a block, the sentinel newline after it, and room for the loads that
// reach past the sentinel.
constexpr std::size_t input_buffer_size(std::size_t insize) { return insize + 1 + k_copy_ahead; }

// The output buffer holds a partial output block not yet written (at most outsize - 1), then
// the most that one pass of the line loop adds before pending output is checked again: an empty
// line's number, "$" and newline, then the next line's number and four bytes for each of its at
// most insize - 1 bytes in this block; and the bytes a kernel may store past its text. The copy that only rewrites bytes
// starts each block with nothing pending and adds at most four bytes per input byte.
constexpr std::size_t output_buffer_size(std::size_t insize, std::size_t outsize) {
  return outsize - 1 + 4 * insize + 2 * k_max_field_text + 2 + k_copy_ahead;
}

// The output buffer starts this far into a page. Input and output both page-aligned made each
// store alias the loads that follow it at the same page offset (4 KiB aliasing): moving the
// output 2112 bytes off measured 1.7x faster for -v on random bytes through the byte table.
// The shuffle expansion measured the same either way.
constexpr std::size_t k_output_offset = 2112;

// Loads reach up to k_copy_ahead bytes past a block's end, onto bytes that no read wrote. They
// are cleared after each read (not the whole buffer once, which would fault in all its pages
// at the start of every run), so that memory checkers have nothing to report about the bits
// the copy then ignores. The input buffer has room for them.
void clear_past_block(unsigned char* block, ssize_t length) {
  std::memset(block + length, 0, k_copy_ahead + 1);
}

// Writes whole blocks of `outsize` from the start of the buffer while that many are pending and
// moves the rest to the start. False on a write error.
bool write_whole_blocks(OutputSink& output, char* out_buffer, char*& out, std::size_t outsize) {
  char* block = out_buffer;
  do {
    if (write_output(output, block, outsize) < 0) return false;
    block += outsize;
  } while (static_cast<std::size_t>(out - block) >= outsize);
  std::size_t rest = static_cast<std::size_t>(out - block);
  std::memmove(out_buffer, block, rest);
  out = out_buffer + rest;
  return true;
}

// Before each read: whole output blocks, then the rest. False on a write error.
bool write_pending(OutputSink& output, char* out_buffer, char* out, std::size_t outsize) {
  if (static_cast<std::size_t>(out - out_buffer) >= outsize &&
      !write_whole_blocks(output, out_buffer, out, outsize))
    return false;
  return write_output(output, out_buffer, static_cast<std::size_t>(out - out_buffer)) >= 0;
}

// Whether a copy whose input reads the file its output writes would read its own output for
// ever. Without -s no line comes out shorter than it went in, so an output ahead of the input
// stays ahead. Under -s the empty lines read back can vanish, and the copy may still end: it
// cannot once the output writes at the end of the file (appending, or having got there) and
// the bytes left to read hold one other than a newline, which comes out again, at least as
// long, after all of them, and so does what it became. Until then the file grows by at most
// one block's output between two checks. Bytes found to be newlines are not read again
// (`newlines_until`): with the output at the end, nothing before it changes. The input buffer
// holds nothing yet to be formatted, and serves for reading them.
bool reads_its_output_for_ever(int input_fd, const OutputSink& output,
                               const FormatBuffers& buffers, const FormatSwitches& switches,
                               off_t& newlines_until) {
  if (!switches.squeeze_blank) return copy_reads_its_output(input_fd, output.fd);
  ReadBack at;
  if (!read_back_offsets(input_fd, output.fd, at) || at.input >= at.size || at.output < at.size)
    return false;
  for (off_t from = std::max(at.input, newlines_until); from < at.size;) {
    const auto want = static_cast<std::size_t>(
        std::min<off_t>(at.size - from, static_cast<off_t>(buffers.insize())));
    const ssize_t n = pread_retrying(input_fd, buffers.in(), want, from);
    if (n <= 0) return false;  // the read that follows meets the failure, or the end
    const char* const bytes = buffers.in();
    if (std::any_of(bytes, bytes + n, [](char c) { return c != '\n'; })) return true;
    from += n;
    newlines_until = from;
  }
  return false;
}

// Reads the next block: its length, 0 at the end of input, or -1 with `result` set to why the
// copy stops. Besides a read error, that is an input that reads the file the output writes,
// when the copy would read its own output for ever. Checked once a block, and only then.
ssize_t read_block(int input_fd, const OutputSink& output, bool input_is_output,
                   const FormatBuffers& buffers, const FormatSwitches& switches,
                   off_t& newlines_until, CopyResult& result) {
  if (input_is_output &&
      reads_its_output_for_ever(input_fd, output, buffers, switches, newlines_until)) {
    result = CopyResult::input_is_output;
    return -1;
  }
  const ssize_t n = read_retrying(input_fd, buffers.in(), buffers.insize());
  if (n < 0) result = CopyResult::read_error;
  return n;
}

}  // namespace

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

#define RUNNEL_ROW_ENTRY(name) &name::format_row,
const FormatRow* const k_rows[] = {RUNNEL_FORMAT_ROWS(RUNNEL_ROW_ENTRY)};
#undef RUNNEL_ROW_ENTRY

}  // namespace

std::span<const FormatRow* const> format_rows() { return k_rows; }

const FormatRow* best_format_row() {
  static const FormatRow* const best = first_runnable(format_rows());
  return best;
}

CopyResult copy_formatted_by(FormatFunction kernel, int input_fd, OutputSink& output,
                             const FormatBuffers& buffers, const FormatSwitches& switches,
                             FormatState& state, bool input_is_output) {
  auto* const in_start = reinterpret_cast<unsigned char*>(buffers.in());
  char* const out_buffer = buffers.out();
  const std::size_t outsize = buffers.outsize();
  char* const flush_at = out_buffer + outsize;
  char* out = out_buffer;
  off_t newlines_until = 0;
  for (;;) {
    if (!write_pending(output, out_buffer, out, outsize)) return CopyResult::write_error;
    CopyResult result = CopyResult::done;
    const ssize_t n =
        read_block(input_fd, output, input_is_output, buffers, switches, newlines_until, result);
    if (n <= 0) return result;
    const unsigned char* const end = in_start + n;
    clear_past_block(in_start, n);
    in_start[n] = '\n';
    // The kernel stops when the output reaches a whole block: it is passed on, and the rest of
    // the input block formatted after what is left.
    FormatStop stop{in_start, out_buffer};
    while ((stop = kernel(stop.in, end, stop.out, flush_at, switches, state)).in != end)
      if (!write_whole_blocks(output, out_buffer, stop.out, outsize)) return CopyResult::write_error;
    out = stop.out;
  }
}

CopyResult copy_formatted(int input_fd, OutputSink& output, const FormatBuffers& buffers,
                          const FormatSwitches& switches, FormatState& state,
                          bool input_is_output) {
  return copy_formatted_by(best_format_row()->choose(switches), input_fd, output, buffers,
                           switches, state, input_is_output);
}
