// SPDX-License-Identifier: MIT
// What the x86 rows of the formatted copy share (64-bit and 32-bit): their constants, the bit
// operations of BMI1, and the expansion of -v by byte shuffles. Each row's source defines
// FORMAT_TARGET before it includes this file, and so compiles it for its own instruction set.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>
#include <type_traits>

#include "format_engine.h"
#include "format_shuffle.h"
#include "simd_avx2.h"
#include "simd_sse2.h"

#ifndef FORMAT_TARGET
#error "define FORMAT_TARGET before including format_x86.h"
#endif

namespace {

// Writes the changed text of one group of four bytes, whose carets and shown bytes are the
// pairs at `half` (0 or 8) of `pairs`; stores 16 bytes.
__attribute__((target("ssse3"))) inline char* write_group(__m128i pairs, unsigned half,
                                                          unsigned key, char* out) {
  __m128i spread = _mm_shuffle_epi8(
      pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(k_pick_table.spread[half / 8])));
  const Pick& pick = k_pick_table.pick[key];
  __m128i text = _mm_shuffle_epi8(_mm_or_si128(spread, _mm_set1_epi32('M' | '-' << 8)),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(pick.shuffle)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
  return out + pick.length;
}

// The caret and the shown byte of each byte side by side, 16 bytes a vector: those of bytes
// 8k to 8k+7 in vector k.
template <class Vec>
FORMAT_TARGET inline void make_pairs(Vec caret, Vec shown, __m128i* pairs) {
  if constexpr (sizeof(Vec) == 16) {
    const auto c = reinterpret_cast<__m128i>(caret), s = reinterpret_cast<__m128i>(shown);
    pairs[0] = _mm_unpacklo_epi8(c, s);
    pairs[1] = _mm_unpackhi_epi8(c, s);
  } else {
    const auto c = reinterpret_cast<__m256i>(caret), s = reinterpret_cast<__m256i>(shown);
    const __m256i low = _mm256_unpacklo_epi8(c, s), high = _mm256_unpackhi_epi8(c, s);
    pairs[0] = _mm256_castsi256_si128(low);
    pairs[1] = _mm256_castsi256_si128(high);
    pairs[2] = _mm256_extracti128_si256(low, 1);
    pairs[3] = _mm256_extracti128_si256(high, 1);
  }
}

// The constants of an x86 row: those of the masks and those of the shuffle expansion. The
// empty asm hides their values from the compiler, which would otherwise build each again from
// an immediate in every pass (three instructions each) rather than keep it in a register or
// reload it.
template <simd::ByteVectorOps V>
struct X86Constants : MaskConstants<V> {
  using Vec = typename V::Vec;
  Vec low7, flip, carets, dollars;
  FORMAT_TARGET X86Constants()
      : low7(V::splat(0x7F)), flip(V::splat(0x40)), carets(V::splat('^')),
        dollars(V::splat('^' ^ '$')) {
    __asm__("" : "+x"(this->newline), "+x"(this->tab), "+x"(this->one), "+x"(this->shown_below));
    __asm__("" : "+x"(low7), "+x"(flip), "+x"(carets), "+x"(dollars));
  }
};

// The expansion of -v with SSSE3's byte shuffles, over SSE2's or AVX2's operations: worth it
// from two bytes to change in a chunk.
template <simd::ByteVectorOps V>
struct ShuffleExpansion {
  static constexpr unsigned expand_from = 2;

  // Writes the changed form of the first 4 * `groups` bytes at `p` (groups <= width / 4),
  // storing 16 bytes a group. A newline without Ends, and a TAB without Tabs, stay as they
  // are. Group k's key is bits 4k to 4k+3 of the "M-" mask and of the caret mask, side by
  // side: those of the even groups in one word, of the odd ones in another. The masks of these
  // sets are vectors of 0xFF and 0 bytes, and combine with the bytes as such.
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static char* expand(const unsigned char* p, unsigned groups, char* out,
                                    const X86Constants<V>& k) {
    using Vec = typename V::Vec;
    const Vec v = V::load(p);
    const Vec low = v & k.low7;
    const Vec newline = V::eq(v, k.newline);
    Vec kept = newline;
    if constexpr (!Tabs) kept |= V::eq(v, k.tab);
    // The bytes with a caret: what -v shows of the low seven bits, less those kept.
    Vec control = V::mask_and_not(kept, shown_bytes<V>(low, k));
    const Vec shown = low ^ (control & k.flip);
    Vec caret = k.carets;
    if constexpr (Ends) {
      control |= newline;
      caret ^= newline & k.dollars;
    }
    // The keys in a general register: 32-bit x86 holds 64 bits in two, and the masks of up to
    // 32 bytes fit one.
    using Key = std::conditional_t<(V::width <= 8 * sizeof(unsigned long)), unsigned long,
                                   std::uint64_t>;
    constexpr auto nibbles = static_cast<Key>(0x0F0F0F0F0F0F0F0Fu);
    // The top bits of the bytes themselves are the "M-" mask.
    const auto marks = static_cast<Key>(V::bits(v)), carets = static_cast<Key>(V::bits(control));
    const Key keys[2] = {(marks & nibbles) | (carets & nibbles) << 4,
                         (marks >> 4 & nibbles) | (carets & nibbles << 4)};
    __m128i pairs[V::width / 8];
    make_pairs(caret, shown, pairs);
    for (unsigned g = 0; g < groups; ++g)
      out = write_group(pairs[g / 2], 8 * (g % 2),
                        static_cast<unsigned>(keys[g % 2] >> 4 * (g - g % 2)) & 0xFF, out);
    return out;
  }
};

// The lowest set bit with TZCNT and BLSR (BMI1), and POPCNT, for the sets that come with them,
// on a general register's bits or on 64. 32-bit x86 has no 64-bit TZCNT or BLSR: there 64 bits
// are counted and cleared on the halves.
struct Bmi1Bits {
  template <class B>
  __attribute__((target("bmi"))) static B lowest_bit(B bits) {
    if constexpr (sizeof(B) == 4) {
      return _tzcnt_u32(bits);
    } else {
#if defined(__x86_64__)
      return _tzcnt_u64(bits);
#else
      return lowest_set_bit(bits | B{1} << 63);
#endif
    }
  }
  template <class B>
  __attribute__((target("bmi"))) static B without_lowest_bit(B bits) {
    if constexpr (sizeof(B) == 4) {
      return _blsr_u32(bits);
    } else {
#if defined(__x86_64__)
      return _blsr_u64(bits);
#else
      return bits & (bits - 1);
#endif
    }
  }
  template <class B>
  __attribute__((target("popcnt"))) static unsigned count(B bits) {
    return static_cast<unsigned>(std::popcount(bits));
  }
};

}  // namespace
