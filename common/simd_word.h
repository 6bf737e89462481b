// SPDX-License-Identifier: MIT
// simd::word: the byte-vector operations on a general register's bytes (8 on a 64-bit machine,
// 4 on a 32-bit one) with integer arithmetic, for every processor. No byte carries into the
// next, and bytes keep their memory order on big-endian machines too.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "simd.h"

namespace simd::word {
namespace {

using Word = unsigned long;  // a general register's width on every Linux target
constexpr unsigned k_bytes = sizeof(Word);

constexpr Word splat_byte(unsigned char byte) { return ~Word{0} / 0xFF * byte; }
constexpr Word k_low7 = splat_byte(0x7F);
constexpr Word k_high = splat_byte(0x80);

// The top bit of each byte of `w` that is zero; the other bits are anything. Exact: the top
// bit is cleared before the addition, so no byte carries into the next.
inline Word zero_bytes(Word w) { return ~(((w & k_low7) + k_low7) | w); }

// One multiplication moves the top bit of byte i (bit 8i + 7, after a shift right by
// k_shift) to bit 8 * (k_bytes - 1) + i: the terms land on different bits, so nothing carries
// between them. A 64-bit word needs no shift first; a 32-bit one, four bits of it.
constexpr unsigned k_shift = 8 - k_bytes;
constexpr Word make_gather() {
  Word magic = 0;
  for (unsigned i = 0; i < k_bytes; ++i) magic |= Word{1} << (8 * k_bytes - 15 + k_shift - 7 * i);
  return magic;
}

// Bit i set where byte i (in memory order) has its top bit set.
inline std::uint64_t top_bits(Word w) {
  Word high = w & k_high;
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (k_bytes == 8)
      high = static_cast<Word>(__builtin_bswap64(high));
    else
      high = static_cast<Word>(__builtin_bswap32(static_cast<std::uint32_t>(high)));
  }
  return static_cast<std::uint64_t>(((high >> k_shift) * make_gather()) >> (8 * (k_bytes - 1)));
}

/// A mask is the top bit of each byte; the other bits are anything, so that no operation
/// spends an instruction clearing them.
struct Ops {
  using Vec = Word;
  using Mask = Word;
  static constexpr unsigned width = k_bytes;

  static Vec load(const unsigned char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(void* out, Vec v) { std::memcpy(out, &v, sizeof v); }
  static Vec splat(char c) { return splat_byte(static_cast<unsigned char>(c)); }
  // The low seven bits of each byte add without a carry out of the byte; the top bits, as
  // an exclusive or, each on its own, so that a constant's drops out where it has none.
  static Vec add(Vec a, Vec b) {
    return ((a & k_low7) + (b & k_low7)) ^ (a & k_high) ^ (b & k_high);
  }
  static Vec bit_and(Vec a, Vec b) { return a & b; }
  static Mask eq(Vec a, Vec b) { return zero_bytes(a ^ b); }
  // Bytes of different signs: the negative one is less. Of the same sign, the low seven bits
  // decide: a's plus 0x80 less b's has its top bit set when a's are not less.
  static Mask lt(Vec a, Vec b) {
    // Against a constant without negative bytes, as every kernel compares, that is four
    // operations; the compiler sees the constant after inlining and keeps only this branch.
    if (__builtin_constant_p(b) && (b & k_high) == 0)
      return a | ~((a & k_low7) + (k_high - b));
    const Vec not_less = (a & k_low7) + (~b & k_low7) + splat_byte(1);
    return (a & ~b) | ~((a ^ b) | not_less);
  }
  static Mask mask_and(Mask m, Mask n) { return m & n; }
  static Mask mask_or(Mask m, Mask n) { return m | n; }
  static Mask mask_and_not(Mask m, Mask n) { return ~m & n; }
  static std::uint64_t bits(Mask m) { return top_bits(m); }
  static bool any(Mask m) { return (m & k_high) != 0; }
  static Vec count(Vec a, Mask m) { return a + ((m >> 7) & splat_byte(1)); }
  // Pairs of bytes first, so that each sum has 16 bits of room.
  static std::uint64_t sum_bytes(Vec v) {
    constexpr Word pairs = ~Word{0} / 0xFFFF * 0xFF;
    const Word sums = (v & pairs) + ((v >> 8) & pairs);
    return static_cast<std::uint64_t>((sums * (~Word{0} / 0xFFFF)) >> (8 * k_bytes - 16));
  }
};
static_assert(ByteVectorOps<Ops>);

}  // namespace
}  // namespace simd::word
