// SPDX-License-Identifier: MIT
// The formatted copy: line numbers, line-end marks, squeezed empty lines, visible control bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fd_io.h"
#include "line_number.h"
#include "plain_copy.h"

/// The six formatting switches of the command line.
struct FormatSwitches {
  bool show_nonprinting = false;
  bool show_tabs = false;
  bool number_lines = false;
  bool number_nonblank = false;
  bool show_ends = false;
  bool squeeze_blank = false;
};

/// Applies the formatting option letter `letter` (one of "benstvAET") to `switches`. Returns
/// false, changing nothing, for any other letter.
[[nodiscard]] bool apply_format_option(FormatSwitches& switches, int letter);

/// State that carries over from one operand to the next, so that the operands are numbered and
/// squeezed as one stream.
struct FormatState {
  LineCounter line = line_counter_start();
  /// -1: inside a line (the last byte seen was not a newline, or a block ended mid-line);
  /// 0: at the start of a line after a line with content, or at the start of the stream;
  /// 1: just after the first empty line of a run; 2: after further empty lines.
  int newline_run = 0;
};

/// The two buffers of a formatted copy that reads blocks of `insize` bytes and writes blocks of
/// `outsize` bytes, each of the size the copy needs for them. Allocated once, they serve every
/// operand of a run.
class FormatBuffers {
 public:
  /// Allocates both buffers, the input page-aligned and the output at a fixed distance from a
  /// page start; false from operator bool when memory ran out.
  FormatBuffers(std::size_t insize, std::size_t outsize);
  explicit operator bool() const { return m_in && m_out; }
  std::size_t insize() const { return m_insize; }
  std::size_t outsize() const { return m_outsize; }
  char* in() const { return m_in.get(); }
  char* out() const { return m_out_start; }

 private:
  std::size_t m_insize;
  std::size_t m_outsize;
  MallocBuffer m_in;
  MallocBuffer m_out;
  char* m_out_start;
};

/// Copies `input_fd` to `output` applying `switches`, until the end of input or the first
/// failure. Reads blocks of buffers.insize(), writes blocks of buffers.outsize() (in pieces of
/// output.max_write) and writes everything pending before each read. `state` is updated, also
/// on a failure; errno holds the cause of a read or write error. With `input_is_output` (the
/// input reads the file the output writes), checks before each read, the first one included,
/// whether the copy would read its own output for ever, and then stops with
/// CopyResult::input_is_output.
[[nodiscard]] CopyResult copy_formatted(int input_fd, OutputSink& output,
                                        const FormatBuffers& buffers,
                                        const FormatSwitches& switches, FormatState& state,
                                        bool input_is_output = false);
