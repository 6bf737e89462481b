// SPDX-License-Identifier: MIT
// The copies under -v with AVX-512 (BW and VBMI2): 64 bytes examined at a time, and the bytes
// that -v changes expanded by compressing four candidate bytes per input byte.
#include "simd_avx512.h"

// On 64-bit x86 only: 32-bit x86 holds each 64-bit mask in two registers, and through memory
// for the mask registers, and this row ran -v on random bytes at 0.75 GB/s there, against
// 4.07 for the AVX2 row (Intel Xeon, model 167, g++ 12.2, format_kernels).
#if defined(SIMD_X86) && defined(__x86_64__)
#define FORMAT_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,avx2,popcnt,bmi")))
#include "format_x86.h"

namespace avx512 {
namespace {

using Ops = simd::avx512::Ops;

struct Constants : MaskConstants<Ops> {
  Ops::Vec low7, flip;
  __m512i quad, candidates, dollars;
  FORMAT_TARGET Constants()
      : low7(Ops::splat(0x7F)),
        flip(Ops::splat(0x40)),
        // Byte j of the vector takes byte j / 4 of 16 copied to every 128-bit lane.
        quad(_mm512_set_epi64(0x0f0f0f0f0e0e0e0e, 0x0d0d0d0d0c0c0c0c, 0x0b0b0b0b0a0a0a0a,
                              0x0909090908080808, 0x0707070706060606, 0x0505050504040404,
                              0x0303030302020202, 0x0101010100000000)),
        candidates(_mm512_set1_epi32('M' | '-' << 8 | '^' << 16)),
        dollars(_mm512_set1_epi32('$' << 16)) {}
};

struct Kernels : Bmi1Bits {
  using Ops = avx512::Ops;
  using Constants = avx512::Constants;
  static constexpr unsigned expand_from = 2;

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
      // The zero-masked broadcast: the plain one's undefined source trips the compiler's
      // warning about uninitialised values.
      const auto v = reinterpret_cast<Ops::Vec>(_mm512_shuffle_epi8(
          _mm512_maskz_broadcast_i32x4(
              0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + done))),
          k.quad));
      const Ops::Vec low = Ops::bit_and(v, k.low7);
      const Ops::Mask newline = Ops::eq(v, k.newline);
      Ops::Mask kept = newline;
      if constexpr (!Tabs) kept |= Ops::eq(v, k.tab);
      // The bytes with a caret: what -v shows of the low seven bits, less those kept. The
      // masks stay in mask registers here (not Ops::mask_and_not), where the blend takes them.
      const Ops::Mask control = ~kept & shown_bytes<Ops>(low, k);
      const __m512i shown = _mm512_mask_blend_epi8(control, Ops::raw(low), Ops::raw(low ^ k.flip));
      __m512i text = _mm512_mask_blend_epi8(shown_bits, k.candidates, shown);
      std::uint64_t keep =
          (_mm512_movepi8_mask(Ops::raw(v)) & mark_bits) | (control & caret_bits) | shown_bits;
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

// Lines of plain text are copied with no branch on their length up to 96 bytes: three 32-byte
// steps, where 64-byte steps take one for every line past 64 bytes (-n on text took 10% more
// processor time). Those copies are the AVX2 ones.
FormatFunction choose(const FormatSwitches& s) {
  return s.show_nonprinting ? choose_visible_function<Kernels>(s) : avx2::format_row.choose(s);
}

}  // namespace

const FormatRow format_row = {"avx512",
                              cpu::sse2 | cpu::ssse3 | cpu::popcnt | cpu::bmi1 | cpu::avx2 |
                                  cpu::avx512bw | cpu::avx512vbmi2,
                              choose};

}  // namespace avx512
#else
#include "format_rows.h"

namespace avx512 {
const FormatRow format_row = unavailable_format_row("avx512");
}
#endif
