// SPDX-License-Identifier: MIT
// The copies under -v with AVX-512 (BW and VBMI2): 64 bytes examined at a time, and the bytes
// that -v changes expanded by compressing four candidate bytes per input byte.
#include "format_paths.h"

#ifdef SIMD_X86
#define FORMAT_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,avx2,popcnt,bmi")))
#include "format_x86.h"

namespace {
struct Isa : Bmi1Bits {
  using Vec = __m512i;
  static constexpr unsigned width = 64;
  static constexpr bool expands = true;

  struct Constants {
    Vec newline, tab, space, del, low7, flip, quad, candidates, dollars;
    FORMAT_TARGET Constants()
        : newline(_mm512_set1_epi8('\n')),
          tab(_mm512_set1_epi8('\t')),
          space(_mm512_set1_epi8(0x20)),
          del(_mm512_set1_epi8(0x7F)),
          low7(_mm512_set1_epi8(0x7F)),
          flip(_mm512_set1_epi8(0x40)),
          // Byte j of the vector takes byte j / 4 of 16 copied to every 128-bit lane.
          quad(_mm512_set_epi64(0x0f0f0f0f0e0e0e0e, 0x0d0d0d0d0c0c0c0c, 0x0b0b0b0b0a0a0a0a,
                                0x0909090908080808, 0x0707070706060606, 0x0505050504040404,
                                0x0303030302020202, 0x0101010100000000)),
          candidates(_mm512_set1_epi32('M' | '-' << 8 | '^' << 16)),
          dollars(_mm512_set1_epi32('$' << 16)) {}
  };

  FORMAT_TARGET static Vec load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  FORMAT_TARGET static void store(char* out, Vec v) { _mm512_storeu_si512(out, v); }
  FORMAT_TARGET static std::uint64_t newline_mask(Vec v, const Constants& k) {
    return _mm512_cmpeq_epi8_mask(v, k.newline);
  }
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static std::uint64_t visible_mask(Vec v, const Constants& k) {
    __mmask64 shown = _mm512_cmplt_epi8_mask(v, k.space) | _mm512_cmpeq_epi8_mask(v, k.del);
    __mmask64 kept = Ends ? 0 : _mm512_cmpeq_epi8_mask(v, k.newline);
    if constexpr (!Tabs) kept |= _mm512_cmpeq_epi8_mask(v, k.tab);
    return shown & ~kept;
  }

  // Writes the changed form of the first 4 * `groups` bytes at `p` (groups <= 16), 16 bytes at
  // a time: each byte is spread to four, "M", "-", the caret (or "$") and the shown byte, and a
  // mask keeps the ones it needs. Stores 64 bytes for each 16.
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static char* expand(const unsigned char* p, unsigned groups, char* out,
                                    const Constants& k) {
    constexpr std::uint64_t mark_bits = 0x3333333333333333u;
    constexpr std::uint64_t caret_bits = 0x4444444444444444u;
    constexpr std::uint64_t shown_bits = 0x8888888888888888u;
    for (unsigned done = 0; done < 4 * groups; done += 16) {
      Vec v = _mm512_shuffle_epi8(
          _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(
                                                       reinterpret_cast<const __m128i*>(p + done))),
          k.quad);
      Vec low = _mm512_and_si512(v, k.low7);
      __mmask64 control =
          _mm512_cmplt_epi8_mask(low, k.space) | _mm512_cmpeq_epi8_mask(low, k.del);
      __mmask64 newline = _mm512_cmpeq_epi8_mask(v, k.newline);
      __mmask64 kept = newline;
      if constexpr (!Tabs) kept |= _mm512_cmpeq_epi8_mask(v, k.tab);
      control &= ~kept;
      Vec shown = _mm512_mask_blend_epi8(control, low, _mm512_xor_si512(low, k.flip));
      Vec text = _mm512_mask_blend_epi8(shown_bits, k.candidates, shown);
      std::uint64_t keep = (_mm512_movepi8_mask(v) & mark_bits) | (control & caret_bits) |
                           shown_bits;
      if constexpr (Ends) {
        text = _mm512_mask_blend_epi8(newline & caret_bits, text, k.dollars);
        keep |= newline & caret_bits;
      }
      unsigned bytes = 4 * groups - done;
      if (bytes < 16) keep &= (std::uint64_t{1} << (4 * bytes)) - 1;
      _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, text));
      out += std::popcount(keep);
    }
    return out;
  }
};
}  // namespace
#include "format_engine.h"

namespace {

// Lines of plain text are copied with no branch on their length up to 96 bytes: three 32-byte
// steps, where 64-byte steps take one for every line past 64 bytes (-n on text took 10% more
// processor time). Those copies are the AVX2 ones.
FormatFunction choose_avx512(const FormatSwitches& s) {
  return s.show_nonprinting ? choose_visible_function<Isa>(s) : format_row_avx2.choose(s);
}

}  // namespace

const FormatRow format_row_avx512 = {
    "avx512",
    {.sse2 = true, .ssse3 = true, .popcnt = true, .bmi1 = true, .avx2 = true, .avx512bw = true,
     .avx512vbmi2 = true},
    choose_avx512};
#endif
