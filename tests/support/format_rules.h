// SPDX-License-Identifier: MIT
// The formatted copy's rules a byte at a time, without any of the engine's tricks: what the
// tests and the fuzz target hold every row of the engine to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "format_copy.h"

namespace test_support {

/// What the rules carry from one operand to the next.
struct FormatRulesState {
  int run = 0;  ///< -1 inside a line, 0 after a line with content, 1 and 2 in a run of empty lines
  std::uint64_t number = 0;  ///< the last line number used
};

/// The text formatted byte by byte: a run counter of empty lines, a number before each line
/// that gets one, and each byte rewritten on its own.
inline std::string reference_format(std::string_view text, const FormatSwitches& s,
                                    FormatRulesState& state) {
  std::string out;
  auto emit_number = [&] {
    char field[32];
    std::snprintf(field, sizeof field, "%6llu\t",
                  static_cast<unsigned long long>(++state.number));
    out += field;
  };
  for (unsigned char c : text) {
    if (c == '\n') {
      if (state.run < 2) ++state.run;
      if (state.run > 0) {
        if (s.squeeze_blank && state.run > 1) continue;
        if (s.number_lines && !s.number_nonblank) emit_number();
      }
      if (s.show_ends) out += '$';
      out += '\n';
      continue;
    }
    if (state.run >= 0 && s.number_lines) emit_number();
    state.run = -1;
    if (c == '\t') {
      out += s.show_tabs ? "^I" : "\t";
    } else if (!s.show_nonprinting) {
      out += static_cast<char>(c);
    } else {
      if (c >= 0x80) {
        out += "M-";
        c = static_cast<unsigned char>(c - 0x80);
      }
      if (c < 0x20) {
        out += '^';
        out += static_cast<char>(c + 0x40);
      } else if (c == 0x7F) {
        out += "^?";
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out;
}

/// The same from the start of a stream whose lines so far used up to `number`.
inline std::string reference_format(std::string_view text, const FormatSwitches& s,
                                    std::uint64_t number) {
  FormatRulesState state;
  state.number = number;
  return reference_format(text, s, state);
}

}  // namespace test_support
