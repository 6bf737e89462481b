// SPDX-License-Identifier: MIT
// The formatted copy for every processor: a general register's bytes (8 on a 64-bit machine, 4
// on a 32-bit one) examined at a time with integer arithmetic, and -v written through the table
// with no branch per byte. This is the copy of every architecture without a vector path of its
// own, and of x86 processors without SSE2.
#include "format_paths.h"

#include <bit>
#include <cstdint>
#include <cstring>

#define FORMAT_TARGET
namespace {

using Word = unsigned long;  // a general register's width on every Linux target
constexpr unsigned k_word_bytes = sizeof(Word);

constexpr Word splat(unsigned char byte) { return ~Word{0} / 0xFF * byte; }

constexpr Word k_low7 = splat(0x7F);
constexpr Word k_high = splat(0x80);

// 0x80 in each byte of `w` that is zero, 0 in the others. Exact: the top bit is cleared before
// the addition, so no byte carries into the next.
inline Word zero_bytes(Word w) { return ~(((w & k_low7) + k_low7) | w | k_low7); }

inline Word equal_bytes(Word w, unsigned char byte) { return zero_bytes(w ^ splat(byte)); }

// One multiplication moves the top bit of byte i to bit 8 * (k_word_bytes - 1) + i: the terms
// land on different bits, so nothing carries between them.
constexpr Word make_gather() {
  Word magic = 0;
  for (unsigned i = 0; i < k_word_bytes; ++i) magic |= Word{1} << (8 * (k_word_bytes - 1) - 7 * i);
  return magic;
}
constexpr Word k_gather = make_gather();

// Bit i set where byte i (in memory order) of the word has its top bit set.
inline std::uint64_t byte_bits(Word high) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (k_word_bytes == 8)
      high = static_cast<Word>(__builtin_bswap64(high));
    else
      high = static_cast<Word>(__builtin_bswap32(static_cast<std::uint32_t>(high)));
  }
  return static_cast<std::uint64_t>(((high >> 7) * k_gather) >> (8 * (k_word_bytes - 1)));
}

struct Isa {
  using Vec = Word;
  static constexpr unsigned width = k_word_bytes;
  static constexpr bool expands = true;
  struct Constants {};

  static Vec load(const unsigned char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(char* out, Vec v) { std::memcpy(out, &v, sizeof v); }
  static std::uint64_t lowest_bit(std::uint64_t bits) {
    return lowest_set_bit(bits | std::uint64_t{1} << 63);
  }
  static std::uint64_t without_lowest_bit(std::uint64_t bits) { return bits & (bits - 1); }
  static unsigned count(std::uint64_t bits) { return count_set_bits(bits); }
  static std::uint64_t newline_mask(Vec v, Constants) { return byte_bits(equal_bytes(v, '\n')); }
  static std::uint64_t tab_mask(Vec v, Constants) { return byte_bits(equal_bytes(v, '\t')); }

  // Bytes below 0x20 once the top bit is cleared stay below 0x80 after adding 0x60; DEL alone
  // reaches 0x80 after adding 1.
  template <bool Tabs, bool Ends>
  static std::uint64_t visible_mask(Vec v, Constants) {
    const Vec low = v & k_low7;
    const Vec shown = (v | ~(low + splat(0x60)) | (low + splat(0x01))) & k_high;
    Vec kept = 0;
    if constexpr (!Ends) kept |= equal_bytes(v, '\n');
    if constexpr (!Tabs) kept |= equal_bytes(v, '\t');
    return byte_bits(shown & ~kept);
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
