// SPDX-License-Identifier: MIT
// The line number of the formatted copy: its text in a counter, and the same text kept in
// registers by the line loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// The line number as the 16 bytes that two stores write, while it has at most fifteen digits;
// the digits stay in registers and only the last two are counted there, so that no line waits
// for a byte incremented in memory. The LineCounter in memory is brought up to date when a
// carry into the hundreds needs it and when the copy returns. Numbers pass seven digits after
// ten million lines, 600 MB of 60-byte lines: one 8-byte word alone sent every later line to
// the carry.
struct NumberText {
  std::uint64_t text_low;   // bytes 0-7 from print_pos, when length <= 16
  std::uint64_t text_high;  // bytes 8-15
  std::uint64_t step_low;   // what adding one to the last digit adds to text_low
  std::uint64_t step_high;  // and to text_high
  std::uint64_t wrap_low;   // what a carry into the tens adds to text_low: 9 back to 0, tens + 1
  std::uint64_t wrap_high;  // and to text_high
  unsigned left;            // numbers the last digit can still count up to; 0 past 16
  unsigned tens_left;       // carries the tens digit can still take; 0 without one, or past 16
  unsigned length;          // bytes of the field text: the last digit is the one before the TAB
};

// The word of a 16-byte text that holds byte `index`, as a number with 1 in that byte.
inline void set_byte_step(std::uint64_t& low, std::uint64_t& high, unsigned index) {
  unsigned shift =
      std::endian::native == std::endian::little ? 8 * (index % 8) : 8 * (7 - index % 8);
  (index < 8 ? low : high) = std::uint64_t{1} << shift;
}

/// The number text of `counter`.
inline NumberText load_number(const LineCounter& counter) {
  NumberText n{};
  n.length = static_cast<unsigned>(k_line_digits + 1 - counter.print_pos);
  if (n.length <= 16) {
    char bytes[16] = {};
    std::memcpy(bytes, counter.field + counter.print_pos, n.length);
    std::memcpy(&n.text_low, bytes, 8);
    std::memcpy(&n.text_high, bytes + 8, 8);
    set_byte_step(n.step_low, n.step_high, n.length - 2);
    n.left = static_cast<unsigned>('9' - counter.field[k_line_digits - 1]);
    if (counter.first_digit <= k_line_digits - 2) {
      std::uint64_t tens_low = 0, tens_high = 0;
      set_byte_step(tens_low, tens_high, n.length - 3);
      n.wrap_low = tens_low - 9 * n.step_low;
      n.wrap_high = tens_high - 9 * n.step_high;
      n.tens_left = static_cast<unsigned>('9' - counter.field[k_line_digits - 2]);
    }
  }
  return n;
}

/// Brings the counter in memory up to date with the digits counted in `n`.
inline void store_number(LineCounter& counter, const NumberText& n) {
  if (n.length <= 16) {
    counter.field[k_line_digits - 1] = static_cast<char>('9' - n.left);
    if (counter.first_digit <= k_line_digits - 2)
      counter.field[k_line_digits - 2] = static_cast<char>('9' - n.tens_left);
  }
}

// A carry into the hundreds, a new digit, or a number past fifteen digits: the counter in
// memory is advanced, and the number is loaded again. Out of line, as it is rare: the line
// loops that inline emit_number stay short, and keep the number in registers.
[[gnu::cold]] NumberText carry_number(LineCounter& counter, NumberText n);

// Advances the number and writes its text at `out`; may store up to 16 bytes. No call on the
// usual path: a call in the line loop would make the compiler keep its variables in memory.
// The carry into the tens, once every ten lines, stays in registers too: as a call it took 13%
// of a -n run on text, against 29% for the rest of the line loop.
inline char* emit_number(NumberText& n, LineCounter& counter, char* out) {
  if (n.left != 0) [[likely]] {
    --n.left;
    n.text_low += n.step_low;
    n.text_high += n.step_high;
  } else if (n.tens_left != 0) [[likely]] {
    --n.tens_left;
    n.left = 9;
    n.text_low += n.wrap_low;
    n.text_high += n.wrap_high;
  } else {
    n = carry_number(counter, n);
    if (n.length > 16) {
      std::memcpy(out, counter.field + counter.print_pos, n.length);
      return out + n.length;
    }
  }
  std::memcpy(out, &n.text_low, 8);
  std::memcpy(out + 8, &n.text_high, 8);
  return out + n.length;
}
