// The formatted copy: line numbers, line-end marks, squeezed empty lines, visible control bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fd_io.h"
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

/// Digits the line-number field holds. A count that needs more stays at all nines; no real
/// stream gets there (10^22 lines).
inline constexpr int k_line_digits = 22;

/// The line number as decimal text, right-aligned in six columns and followed by a TAB; the
/// column widens to the left once the number needs more than six digits.
struct LineCounter {
  /// Digits at [0, k_line_digits), then the TAB and a NUL.
  char field[k_line_digits + 2];
  int print_pos;    ///< where the emitted text starts
  int first_digit;  ///< leftmost digit
};

/// Longest text a LineCounter emits: every digit and the TAB.
inline constexpr std::size_t k_max_field_text = k_line_digits + 1;

/// A counter holding 0 (the first number emitted is 1).
LineCounter line_counter_start();

/// A counter holding `digits` (decimal, at most k_line_digits of them), for tests that need
/// large numbers without counting up to them.
LineCounter line_counter_at(std::string_view digits);

/// Adds one to the counter.
void advance_line_number(LineCounter& counter);

/// The text a counter emits: its digits right-aligned in six columns, then a TAB.
std::string_view line_number_text(const LineCounter& counter);

/// State that carries over from one operand to the next, so that the operands are numbered and
/// squeezed as one stream.
struct FormatState {
  LineCounter line = line_counter_start();
  /// -1: inside a line (the last byte seen was not a newline, or a block ended mid-line);
  /// 0: at the start of a line after a line with content, or at the start of the stream;
  /// 1: just after the first empty line of a run; 2: after further empty lines.
  int newline_run = 0;
};

/// Size of the input buffer for blocks of `insize`: one more byte for the sentinel newline.
constexpr std::size_t formatted_input_size(std::size_t insize) { return insize + 1; }

/// Bytes the copy may store past the end of the text it has built (whole 16-byte stores).
inline constexpr std::size_t k_store_slack = 16;

/// Size of the output buffer: a partial output block not yet written (at most outsize - 1), then
/// the most that one pass of the line loop adds before pending output is checked again: an empty
/// line's number, "$" and newline, then the next line's number and four bytes for each of its at
/// most insize - 1 bytes in this block; and the store slack.
constexpr std::size_t formatted_output_size(std::size_t insize, std::size_t outsize) {
  return outsize - 1 + 4 * insize + 2 * k_max_field_text + 2 + k_store_slack;
}

/// Copies `input_fd` to `output_fd` applying `switches`, until the end of input or the first
/// failure. Reads blocks of `insize` into `in_buffer` (formatted_input_size bytes), builds the
/// output in `out_buffer` (formatted_output_size bytes), writes it in blocks of exactly
/// `outsize` bytes and writes everything pending before each read. `state` is updated, also on
/// a failure; errno holds the cause of a failure.
[[nodiscard]] CopyResult copy_formatted(int input_fd, int output_fd, char* in_buffer,
                                        std::size_t insize, char* out_buffer, std::size_t outsize,
                                        const FormatSwitches& switches, FormatState& state);
