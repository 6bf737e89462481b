// SPDX-License-Identifier: MIT
// The 16-byte operations of the formatted copy on x86 (64-bit and 32-bit): the SSE2 masks, and
// the SSSE3 expansion of the -v notation, for the sources that compile the copy for one
// instruction set.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "format_paths.h"

// Every x86-64 processor has SSE2; a 32-bit one may not, so the SSE2 operations carry its
// target attribute and run only where the processor has it.
#define SSE2_TARGET __attribute__((target("sse2")))

namespace {

// SSE2: bytes that are newlines, TABs, or that -v rewrites, as bit masks of 16 bytes.
struct Sse2Ops : PlainBits {
  using Vec = __m128i;
  static constexpr unsigned width = 16;
  struct Constants {};

  SSE2_TARGET static Vec load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  SSE2_TARGET static void store(char* out, Vec v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  }
  SSE2_TARGET static std::uint64_t bits(Vec v) {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(v));
  }
  SSE2_TARGET static std::uint64_t newline_mask(Vec v, Constants) {
    return bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  }
  SSE2_TARGET static std::uint64_t tab_mask(Vec v, Constants) {
    return bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
  }

  // Controls and bytes from 0x80 compare below 0x20 as signed bytes; DEL is the one other.
  template <bool Tabs, bool Ends>
  SSE2_TARGET static std::uint64_t visible_mask(Vec v, Constants) {
    Vec shown = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                             _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    if constexpr (Tabs && Ends) return bits(shown);
    Vec kept = Ends ? _mm_setzero_si128() : _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
    if constexpr (!Tabs) kept = _mm_or_si128(kept, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    return bits(_mm_andnot_si128(kept, shown));
  }
};

// The lowest set bit with TZCNT and BLSR (BMI1), and POPCNT, for the sets that come with them.
// 32-bit x86 has no 64-bit TZCNT or BLSR: there the bits are counted and cleared on the halves.
struct Bmi1Bits {
#if defined(__x86_64__)
  __attribute__((target("bmi"))) static std::uint64_t lowest_bit(std::uint64_t bits) {
    return _tzcnt_u64(bits);
  }
  __attribute__((target("bmi"))) static std::uint64_t without_lowest_bit(std::uint64_t bits) {
    return _blsr_u64(bits);
  }
#else
  static std::uint64_t lowest_bit(std::uint64_t bits) { return lowest_set_bit(bits); }
  static std::uint64_t without_lowest_bit(std::uint64_t bits) { return bits & (bits - 1); }
#endif
  __attribute__((target("popcnt"))) static unsigned count(std::uint64_t bits) {
    return static_cast<unsigned>(std::popcount(bits));
  }
};

// Under -v a byte becomes an optional "M-" (bit 7 set), an optional "^" (a control or DEL once
// bit 7 is cleared) and the shown byte; under -E a newline becomes "$" and the newline, the
// same shape with "$" for the "^". Four input bytes give at most 16 output bytes, so one shuffle
// builds them from a vector holding "M-", the caret and the shown byte for each of the four;
// which parts each byte keeps is a key of 8 bits, and a table gives the shuffle for each key.
struct Pick {
  alignas(16) unsigned char shuffle[16];
  unsigned length;
};

struct PickTable {
  Pick pick[256];
  // Carets and shown bytes of four bytes, interleaved from byte 0 (or 8) of a vector of pairs,
  // to positions 4k+2 and 4k+3.
  unsigned char spread[2][16];
};

constexpr PickTable make_pick_table() {
  PickTable t{};
  for (unsigned key = 0; key < 256; ++key) {
    Pick& p = t.pick[key];
    unsigned n = 0;
    for (unsigned k = 0; k < 4; ++k) {
      if ((key >> k) & 1) {
        p.shuffle[n++] = static_cast<unsigned char>(4 * k);
        p.shuffle[n++] = static_cast<unsigned char>(4 * k + 1);
      }
      if ((key >> (4 + k)) & 1) p.shuffle[n++] = static_cast<unsigned char>(4 * k + 2);
      p.shuffle[n++] = static_cast<unsigned char>(4 * k + 3);
    }
    p.length = n;
    for (; n < 16; ++n) p.shuffle[n] = 0x80;
  }
  for (unsigned h = 0; h < 2; ++h)
    for (unsigned i = 0; i < 16; ++i)
      t.spread[h][i] =
          i % 4 < 2 ? 0x80 : static_cast<unsigned char>(8 * h + 2 * (i / 4) + i % 4 - 2);
  return t;
}

constexpr PickTable k_pick_table = make_pick_table();

// The bytes of a group that keep "M-" (bits 0-3) and the caret (bits 4-7), for four groups at
// once: each byte's code, 1 for "M-" and 16 for the caret, weighted by 1, 2, 4 and 8 within its
// group and summed into 32 bits.
__attribute__((target("ssse3"))) inline __m128i group_keys(__m128i high, __m128i caret) {
  __m128i code =
      _mm_or_si128(_mm_and_si128(high, _mm_set1_epi8(1)), _mm_and_si128(caret, _mm_set1_epi8(16)));
  __m128i pairs = _mm_maddubs_epi16(code, _mm_set1_epi32(0x08040201));
  return _mm_madd_epi16(pairs, _mm_set1_epi16(1));
}

// Writes the changed text of one group of four bytes, whose carets and shown bytes are the
// pairs at `half` (0 or 8) of `pairs`; stores 16 bytes.
__attribute__((target("ssse3"))) inline char* write_group(__m128i pairs, unsigned half,
                                                          std::uint32_t key, char* out) {
  __m128i spread = _mm_shuffle_epi8(
      pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(k_pick_table.spread[half / 8])));
  const Pick& pick = k_pick_table.pick[key];
  __m128i text = _mm_shuffle_epi8(_mm_or_si128(spread, _mm_set1_epi32('M' | '-' << 8)),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(pick.shuffle)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
  return out + pick.length;
}

// Writes the changed form of the first 4 * `groups` bytes at `p` (groups <= 4); stores 16
// bytes a group. A newline without Ends, and a TAB without Tabs, stay as they are.
template <bool Tabs, bool Ends>
__attribute__((target("ssse3"))) inline char* expand16(const unsigned char* p, unsigned groups,
                                                       char* out) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x7F));
  __m128i control = _mm_or_si128(_mm_cmplt_epi8(low, _mm_set1_epi8(0x20)),
                                 _mm_cmpeq_epi8(low, _mm_set1_epi8(0x7F)));
  __m128i newline = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
  __m128i kept = newline;
  if constexpr (!Tabs) kept = _mm_or_si128(kept, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
  control = _mm_andnot_si128(kept, control);
  __m128i shown = _mm_xor_si128(low, _mm_and_si128(control, _mm_set1_epi8(0x40)));
  __m128i caret = _mm_set1_epi8('^');
  if constexpr (Ends) {
    control = _mm_or_si128(control, newline);
    caret = _mm_xor_si128(caret, _mm_and_si128(newline, _mm_set1_epi8('^' ^ '$')));
  }
  __m128i pairs[2] = {_mm_unpacklo_epi8(caret, shown), _mm_unpackhi_epi8(caret, shown)};
  alignas(16) std::uint32_t keys[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(keys),
                  group_keys(_mm_cmplt_epi8(v, _mm_setzero_si128()), control));
  for (unsigned g = 0; g < groups; ++g) out = write_group(pairs[g / 2], 8 * (g % 2), keys[g], out);
  return out;
}

}  // namespace
