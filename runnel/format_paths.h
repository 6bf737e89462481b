// SPDX-License-Identifier: MIT
// What the implementations of the formatted copy share: the -v table, what a kernel does, and
// the rows of the instruction sets.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>

#include "cpu_features.h"
#include "format_copy.h"
#include "simd.h"

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

/// The kernel of a formatted copy for one combination of switches: formats [p, end) at `out`
/// and updates `state`. The byte at `end` is a newline (the sentinel) and k_copy_ahead bytes
/// after it are readable; the kernel may store k_copy_ahead bytes past its output. It returns
/// at `end`, or earlier after a line that takes the output to `flush_at` or past it.
using FormatFunction = FormatStop (*)(const unsigned char* p, const unsigned char* end,
                                      char* out, char* flush_at,
                                      const FormatSwitches& switches, FormatState& state);

/// One implementation of the formatted copy: every row writes the same bytes; they differ in
/// the instructions they use. Each instruction set's source defines its row.
struct FormatRow {
  const char* name;   ///< for test reports and measurements
  CpuFeatures needs;  ///< the extensions it runs on
  /// The kernel for one combination of switches.
  FormatFunction (*choose)(const FormatSwitches& switches);
};

/// Every row of this build, best first; the last is the scalar row, which every processor runs.
std::span<const FormatRow* const> format_rows();

/// The first row this processor runs, worked out once per process.
const FormatRow* best_format_row();

/// copy_formatted with `kernel`, which must suit `switches`.
[[nodiscard]] CopyResult copy_formatted_by(FormatFunction kernel, int input_fd,
                                           OutputSink& output, const FormatBuffers& buffers,
                                           const FormatSwitches& switches, FormatState& state,
                                           bool input_is_output = false);

/// The row in plain C++, which every processor runs.
extern const FormatRow format_row_scalar;
#ifdef SIMD_X86
extern const FormatRow format_row_avx512;
extern const FormatRow format_row_avx2;
extern const FormatRow format_row_ssse3;
extern const FormatRow format_row_sse2;
#endif

/// The place of the lowest set bit of `bits`; 64 when none is. 32-bit x86 has no 64-bit count,
/// and the compiler calls a library function for one there: the halves are counted instead.
inline unsigned lowest_set_bit(std::uint64_t bits) {
#if defined(__i386__)
  const auto low = static_cast<std::uint32_t>(bits);
  const auto high = static_cast<std::uint32_t>(bits >> 32);
  return low != 0 ? static_cast<unsigned>(std::countr_zero(low))
                  : 32 + static_cast<unsigned>(std::countr_zero(high));
#else
  return static_cast<unsigned>(std::countr_zero(bits));
#endif
}

/// The number of set bits of `bits`. x86 before POPCNT has no instruction for it, and the
/// compiler calls a library function there: the bits are summed in place instead.
inline unsigned count_set_bits(std::uint64_t bits) {
#if defined(__x86_64__) || defined(__i386__)
  bits -= (bits >> 1) & 0x5555555555555555u;
  bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<unsigned>((bits * 0x0101010101010101u) >> 56);
#else
  return static_cast<unsigned>(std::popcount(bits));
#endif
}

/// The bit operations of the line loop in plain C++, for the rows whose instruction sets have
/// none of their own.
struct PlainBits {
  // The top bit keeps the count of zeros defined when no bit is set; the caller then ignores
  // the result.
  static std::uint64_t lowest_bit(std::uint64_t bits) {
    return lowest_set_bit(bits | std::uint64_t{1} << 63);
  }
  static std::uint64_t without_lowest_bit(std::uint64_t bits) { return bits & (bits - 1); }
  static unsigned count(std::uint64_t bits) { return count_set_bits(bits); }
};

/// Bytes a copy may load past the sentinel and store past the text it has built: a line is
/// copied in steps of this many bytes at least, and no vector is wider.
inline constexpr std::size_t k_copy_ahead = 96;
