// SPDX-License-Identifier: MIT
// The formatted copy with AVX2 (with POPCNT and BMI1 for listing newlines): 32 bytes examined at
// a time, and the SSSE3 expansion for -v.
#include "format_paths.h"

#ifdef SIMD_X86
#include "format_x86.h"

#define FORMAT_TARGET __attribute__((target("avx2,popcnt,bmi")))
namespace {
struct Isa : Bmi1Bits {
  using Vec = __m256i;
  static constexpr unsigned width = 32;
  static constexpr bool expands = true;

  // The splatted bytes of the loops, made once before a loop. The empty asm hides their values
  // from the compiler, which would otherwise build each again from an immediate in every pass
  // (three instructions each) rather than keep it in a register or reload it.
  struct Constants {
    Vec newline, tab, space, del, low7, one, sixteen, flip, carets, weights, ones;
    FORMAT_TARGET Constants()
        : newline(_mm256_set1_epi8('\n')),
          tab(_mm256_set1_epi8('\t')),
          space(_mm256_set1_epi8(0x20)),
          del(_mm256_set1_epi8(0x7F)),
          low7(_mm256_set1_epi8(0x7F)),
          one(_mm256_set1_epi8(1)),
          sixteen(_mm256_set1_epi8(16)),
          flip(_mm256_set1_epi8(0x40)),
          carets(_mm256_set1_epi8('^')),
          weights(_mm256_set1_epi32(0x08040201)),
          ones(_mm256_set1_epi16(1)) {
      __asm__("" : "+x"(newline), "+x"(tab), "+x"(space), "+x"(del), "+x"(low7), "+x"(one));
      __asm__("" : "+x"(sixteen), "+x"(flip), "+x"(carets), "+x"(weights), "+x"(ones));
    }
  };

  FORMAT_TARGET static Vec load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  FORMAT_TARGET static void store(char* out, Vec v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
  }
  FORMAT_TARGET static std::uint64_t bits(Vec v) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
  }
  FORMAT_TARGET static std::uint64_t newline_mask(Vec v, const Constants& k) {
    return bits(_mm256_cmpeq_epi8(v, k.newline));
  }
  FORMAT_TARGET static std::uint64_t tab_mask(Vec v, const Constants& k) {
    return bits(_mm256_cmpeq_epi8(v, k.tab));
  }
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static std::uint64_t visible_mask(Vec v, const Constants& k) {
    Vec shown = _mm256_or_si256(_mm256_cmpgt_epi8(k.space, v), _mm256_cmpeq_epi8(v, k.del));
    if constexpr (Tabs && Ends) return bits(shown);
    Vec kept = Ends ? _mm256_setzero_si256() : _mm256_cmpeq_epi8(v, k.newline);
    if constexpr (!Tabs) kept = _mm256_or_si256(kept, _mm256_cmpeq_epi8(v, k.tab));
    return bits(_mm256_andnot_si256(kept, shown));
  }

  // The 32-byte form of expand16: the masks, the shown bytes and the keys of eight groups in
  // one pass.
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static char* expand(const unsigned char* p, unsigned groups, char* out,
                                    const Constants& k) {
    Vec v = load(p);
    Vec low = _mm256_and_si256(v, k.low7);
    Vec control = _mm256_or_si256(_mm256_cmpgt_epi8(k.space, low), _mm256_cmpeq_epi8(low, k.del));
    Vec newline = _mm256_cmpeq_epi8(v, k.newline);
    Vec kept = newline;
    if constexpr (!Tabs) kept = _mm256_or_si256(kept, _mm256_cmpeq_epi8(v, k.tab));
    control = _mm256_andnot_si256(kept, control);
    Vec shown = _mm256_xor_si256(low, _mm256_and_si256(control, k.flip));
    Vec caret = k.carets;
    if constexpr (Ends) {
      control = _mm256_or_si256(control, newline);
      caret = _mm256_xor_si256(caret, _mm256_and_si256(newline, _mm256_set1_epi8('^' ^ '$')));
    }
    Vec code =
        _mm256_or_si256(_mm256_and_si256(_mm256_cmpgt_epi8(_mm256_setzero_si256(), v), k.one),
                        _mm256_and_si256(control, k.sixteen));
    Vec keys = _mm256_madd_epi16(_mm256_maddubs_epi16(code, k.weights), k.ones);
    alignas(32) std::uint32_t key[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(key), keys);
    // Per 128-bit lane: the pairs of bytes 0-7 and 8-15 of the lane.
    Vec pairs_low = _mm256_unpacklo_epi8(caret, shown);
    Vec pairs_high = _mm256_unpackhi_epi8(caret, shown);
    const __m128i pairs[4] = {_mm256_castsi256_si128(pairs_low), _mm256_castsi256_si128(pairs_high),
                              _mm256_extracti128_si256(pairs_low, 1),
                              _mm256_extracti128_si256(pairs_high, 1)};
    for (unsigned g = 0; g < groups; ++g) out = write_group(pairs[g / 2], 8 * (g % 2), key[g], out);
    return out;
  }
};
}  // namespace
#include "format_engine.h"

const FormatRow format_row_avx2 = {
    "avx2",
    {.sse2 = true, .ssse3 = true, .popcnt = true, .bmi1 = true, .avx2 = true},
    choose_format_function<Isa>};
#endif
