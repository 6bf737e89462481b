// SPDX-License-Identifier: MIT
// The line counter.
#include "line_number.h"

namespace {

constexpr int k_tab_index = k_line_digits;
constexpr int k_last_digit = k_line_digits - 1;
constexpr int k_column_width = 6;

}  // namespace

LineCounter line_counter_start() { return line_counter_at("0"); }

LineCounter line_counter_at(std::string_view digits) {
  LineCounter counter;
  std::memset(counter.field, ' ', k_line_digits);
  counter.field[k_tab_index] = '\t';
  counter.field[k_tab_index + 1] = '\0';
  std::size_t count = digits.size() < static_cast<std::size_t>(k_line_digits)
                          ? digits.size()
                          : static_cast<std::size_t>(k_line_digits);
  counter.first_digit = k_tab_index - static_cast<int>(count);
  std::memcpy(counter.field + counter.first_digit, digits.data(), count);
  counter.print_pos = k_tab_index - k_column_width;
  if (counter.first_digit < counter.print_pos) counter.print_pos = counter.first_digit;
  return counter;
}

void advance_line_number(LineCounter& counter) {
  for (int pos = k_last_digit; pos >= counter.first_digit; --pos) {
    if (counter.field[pos] < '9') {
      ++counter.field[pos];
      return;
    }
    counter.field[pos] = '0';
  }
  // The carry ran past the leftmost digit: the number gains one.
  if (counter.first_digit == 0) {
    std::memset(counter.field, '9', k_line_digits);
    return;
  }
  counter.field[--counter.first_digit] = '1';
  if (counter.first_digit < counter.print_pos) counter.print_pos = counter.first_digit;
}

std::string_view line_number_text(const LineCounter& counter) {
  return std::string_view(counter.field + counter.print_pos,
                          static_cast<std::size_t>(k_tab_index + 1 - counter.print_pos));
}

NumberText carry_number(LineCounter& counter, NumberText n) {
  store_number(counter, n);
  advance_line_number(counter);
  return load_number(counter);
}
