// SPDX-License-Identifier: MIT
// The rows of the formatted copy: one implementation each, plain or vector code, chosen at run
// time. Each row is defined by the source named after it, format_row_NAME.cc, which the build
// compiles everywhere: on an architecture that the row is not for, it defines a row that no
// processor runs. Also here: what -v makes of each byte, and what a kernel does.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cpu_features.h"
#include "format_copy.h"

// What one input byte becomes under -v: up to four bytes (M-^X is the longest), stored as a
// whole so that the byte loop always copies four and advances by `length`.
struct Expansion {
  char text[4];
  std::uint32_t length;
};
using ExpansionTable = std::array<Expansion, 256>;

constexpr Expansion expand_to(char a, char b = 0, char c = 0, char d = 0,
                              std::uint32_t length = 1) {
  return Expansion{{a, b, c, d}, length};
}

// A newline stays a newline unless -E marks its end; a TAB is shown only with -T.
constexpr ExpansionTable make_visible_table(bool show_tabs, bool show_ends) {
  ExpansionTable table{};
  for (int byte = 0; byte < 256; ++byte) {
    Expansion& e = table[static_cast<std::size_t>(byte)];
    if (byte == '\n' && show_ends) {
      e = expand_to('$', '\n', 0, 0, 2);
    } else if ((byte == '\t' && !show_tabs) || byte == '\n') {
      e = expand_to(static_cast<char>(byte));
    } else if (byte < 0x20) {
      e = expand_to('^', static_cast<char>(byte + 0x40), 0, 0, 2);
    } else if (byte < 0x7F) {
      e = expand_to(static_cast<char>(byte));
    } else if (byte == 0x7F) {
      e = expand_to('^', '?', 0, 0, 2);
    } else if (byte < 0xA0) {
      e = expand_to('M', '-', '^', static_cast<char>(byte - 0x40), 4);
    } else if (byte < 0xFF) {
      e = expand_to('M', '-', static_cast<char>(byte - 0x80), 0, 3);
    } else {
      e = expand_to('M', '-', '^', '?', 4);
    }
  }
  return table;
}

template <bool Tabs, bool Ends>
inline constexpr ExpansionTable k_visible_table = make_visible_table(Tabs, Ends);

/// Where a kernel stopped: the end of the input it took and of the output it wrote.
struct FormatStop {
  const unsigned char* in;
  char* out;
};

/// Bytes a copy may load past the sentinel and store past the text it has built: a line is
/// copied in steps of this many bytes at least, and no vector is wider.
inline constexpr std::size_t k_copy_ahead = 96;

/// The kernel of a formatted copy for one combination of switches: formats [p, end) at `out`
/// and updates `state`. The byte at `end` is a newline (the sentinel) and k_copy_ahead bytes
/// after it are readable; the kernel may store k_copy_ahead bytes past its output. It returns
/// at `end`, or earlier after a line that takes the output to `flush_at` or past it.
using FormatFunction = FormatStop (*)(const unsigned char* p, const unsigned char* end,
                                      char* out, char* flush_at,
                                      const FormatSwitches& switches, FormatState& state);

/// One implementation of the formatted copy: every row writes the same bytes; they differ in
/// the instructions they use.
struct FormatRow {
  const char* name;   ///< for test reports and measurements
  CpuFeatures needs;  ///< the features it runs on; cpu::unavailable when left out of the build
  /// The kernel for one combination of switches; null when the row is left out.
  FormatFunction (*choose)(const FormatSwitches& switches);
};

/// Every row, best first, one line each; the plain row, which every processor runs, comes last.
#define RUNNEL_FORMAT_ROWS(ROW) ROW(avx512) ROW(avx2) ROW(ssse3) ROW(sse2) ROW(neon) ROW(plain)

#define RUNNEL_DECLARE_ROW(name)    \
  namespace name {                  \
  extern const FormatRow format_row; \
  }
RUNNEL_FORMAT_ROWS(RUNNEL_DECLARE_ROW)
#undef RUNNEL_DECLARE_ROW

/// Every row of the list, in its order.
std::span<const FormatRow* const> format_rows();

/// The first row this processor runs, worked out once per process.
const FormatRow* best_format_row();

/// A row of the list that this build leaves out: no processor runs it.
constexpr FormatRow unavailable_format_row(const char* name) {
  return {name, cpu::unavailable, nullptr};
}

/// copy_formatted with `kernel`, which must suit `switches`.
[[nodiscard]] CopyResult copy_formatted_by(FormatFunction kernel, int input_fd,
                                           OutputSink& output, const FormatBuffers& buffers,
                                           const FormatSwitches& switches, FormatState& state,
                                           bool input_is_output = false);
