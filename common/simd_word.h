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

// 0x80 in each byte of `w` that is zero, 0 in the others. Exact: the top bit is cleared before
// the addition, so no byte carries into the next.
inline Word zero_bytes(Word w) { return ~(((w & k_low7) + k_low7) | w | k_low7); }

// One multiplication moves the top bit of byte i to bit 8 * (k_bytes - 1) + i: the terms land
// on different bits, so nothing carries between them.
constexpr Word make_gather() {
  Word magic = 0;
  for (unsigned i = 0; i < k_bytes; ++i) magic |= Word{1} << (8 * (k_bytes - 1) - 7 * i);
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
  return static_cast<std::uint64_t>(((high >> 7) * make_gather()) >> (8 * (k_bytes - 1)));
}

struct Ops {
  using Vec = Word;
  static constexpr unsigned width = k_bytes;

  static Vec load(const unsigned char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(void* out, Vec v) { std::memcpy(out, &v, sizeof v); }
  static Vec splat(char c) { return splat_byte(static_cast<unsigned char>(c)); }
  static Vec eq(Vec a, Vec b) { return (zero_bytes(a ^ b) >> 7) * 0xFF; }
  // Bytes of different signs: the negative one is less. Of the same sign: the 7 low bits
  // decide, and 0x80 | a - b keeps the borrow of each byte within it.
  static Vec lt(Vec a, Vec b) {
    const Vec low_not_less = (a | k_high) - (b & k_low7);
    return (((((a ^ b) & a) | ~((a ^ b) | low_not_less)) & k_high) >> 7) * 0xFF;
  }
  static Vec bit_and(Vec a, Vec b) { return a & b; }
  static Vec bit_or(Vec a, Vec b) { return a | b; }
  static Vec bit_xor(Vec a, Vec b) { return a ^ b; }
  static Vec and_not(Vec a, Vec b) { return ~a & b; }
  static Vec sub(Vec a, Vec b) { return ((a | k_high) - (b & k_low7)) ^ ((a ^ ~b) & k_high); }
  static std::uint64_t bits(Vec v) { return top_bits(v); }
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
