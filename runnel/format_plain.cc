// SPDX-License-Identifier: MIT
// The formatted copy for every processor: a general register's bytes (8 on a 64-bit machine, 4
// on a 32-bit one) examined at a time with integer arithmetic, and -v written through the table
// with no branch per byte. This is the copy of every architecture without a vector path of its
// own, and of x86 processors without SSE2.
#include "format_paths.h"

#include <cstdint>
#include <cstring>

#include "simd_word.h"

#define FORMAT_TARGET
namespace {

using simd::word::k_high;
using simd::word::k_low7;
using simd::word::splat_byte;
using simd::word::top_bits;
using simd::word::Word;
using simd::word::zero_bytes;

inline Word equal_bytes(Word w, unsigned char byte) { return zero_bytes(w ^ splat_byte(byte)); }

struct Isa : simd::word::Ops, PlainBits {
  static constexpr bool expands = true;
  struct Constants {};

  static std::uint64_t newline_mask(Vec v, Constants) { return top_bits(equal_bytes(v, '\n')); }
  static std::uint64_t tab_mask(Vec v, Constants) { return top_bits(equal_bytes(v, '\t')); }

  // Bytes below 0x20 once the top bit is cleared stay below 0x80 after adding 0x60; DEL alone
  // reaches 0x80 after adding 1.
  template <bool Tabs, bool Ends>
  static std::uint64_t visible_mask(Vec v, Constants) {
    const Vec low = v & k_low7;
    const Vec shown = (v | ~(low + splat_byte(0x60)) | (low + splat_byte(0x01))) & k_high;
    Vec kept = 0;
    if constexpr (!Ends) kept |= equal_bytes(v, '\n');
    if constexpr (!Tabs) kept |= equal_bytes(v, '\t');
    return top_bits(shown & ~kept);
  }

  // Every byte through the table: a whole entry stored, the output advanced by its length.
  template <bool Tabs, bool Ends>
  static char* expand(const unsigned char* p, unsigned groups, char* out, Constants) {
    const ExpansionTable& table = k_visible_table<Tabs, Ends>;
    for (unsigned i = 0; i < 4 * groups; ++i) {
      const Expansion& e = table[p[i]];
      std::memcpy(out, e.text, 4);
      out += e.length;
    }
    return out;
  }
};

}  // namespace
#include "format_engine.h"

const FormatRow format_row_scalar = {"scalar", {}, choose_format_function<Isa>};
