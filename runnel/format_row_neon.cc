// SPDX-License-Identifier: MIT
// The formatted copy with NEON, which every arm64 processor has: 16 bytes examined at a time,
// and the bytes that -v changes expanded by TBL lookups, as the SSSE3 row does with pshufb.
#include "simd_neon.h"

#ifdef SIMD_NEON
#define FORMAT_TARGET
#include <bit>

#include "format_engine.h"
#include "format_shuffle.h"

namespace neon {
namespace {

using Ops = simd::neon::Ops;
using Vec = Ops::Vec;

// The constants of the masks and of the expansion: the weights that make each group of four
// bytes' key, and "M-" as 16-bit lanes.
struct Constants : MaskConstants<Ops> {
  Vec low7, flip, carets, dollars, mark_weights, caret_weights;
  uint16x8_t mark_dash;
  Constants()
      : low7(Ops::splat(0x7F)),
        flip(Ops::splat(0x40)),
        carets(Ops::splat('^')),
        dollars(Ops::splat('^' ^ '$')),
        mark_weights(vreinterpretq_u8_u32(vdupq_n_u32(0x08040201))),
        caret_weights(vreinterpretq_u8_u32(vdupq_n_u32(0x80402010))),
        mark_dash(vdupq_n_u16('M' | '-' << 8)) {}
};

struct Kernels {
  using Ops = neon::Ops;
  using Constants = neon::Constants;
  // From two bytes to change: from one saved 11 % of the instructions on random bytes, and
  // cost 28 % on text under -A, whose chunks with a byte to change mostly hold one newline.
  static constexpr unsigned expand_from = 2;

  // rbit and clz, and clz gives 64 for no bit: no bit to set first, as PlainBits does. cnt
  // counts the bits of each byte, and one addition across them sums them.
  template <class B>
  static B lowest_bit(B bits) {
    return static_cast<B>(std::countr_zero(bits));
  }
  template <class B>
  static B without_lowest_bit(B bits) {
    return bits & (bits - 1);
  }
  template <class B>
  static unsigned count(B bits) {
    return static_cast<unsigned>(std::popcount(bits));
  }

  // Writes the changed form of the first 4 * `groups` bytes at `p` (groups <= 4), storing 16
  // bytes a group. A group's four "M-", caret, shown byte quadruples come from two zips, the
  // table picks those its key keeps, and one TBL writes them. The keys of the four groups are
  // the bytes of one word: each byte's mark and caret weighted by its place in its group, and
  // two pairwise additions sum each group's four.
  template <bool Tabs, bool Ends>
  static char* expand(const unsigned char* p, unsigned groups, char* out, const Constants& k) {
    const Vec v = Ops::load(p);
    const Vec low = vandq_u8(v, k.low7);
    const Vec newline = Ops::eq(v, k.newline);
    Vec kept = newline;
    if constexpr (!Tabs) kept = vorrq_u8(kept, Ops::eq(v, k.tab));
    // The bytes with a caret: what -v shows of the low seven bits, less those kept.
    Vec control = Ops::mask_and_not(kept, shown_bytes<Ops>(low, k));
    const Vec shown = veorq_u8(low, vandq_u8(control, k.flip));
    Vec caret = k.carets;
    if constexpr (Ends) {
      control = vorrq_u8(control, newline);
      caret = veorq_u8(caret, vandq_u8(newline, k.dollars));
    }
    // The top bits of the bytes themselves are the "M-" mask.
    const Vec marks = vcltzq_s8(vreinterpretq_s8_u8(v));
    const Vec weighted =
        vorrq_u8(vandq_u8(marks, k.mark_weights), vandq_u8(control, k.caret_weights));
    const Vec pairs = vpaddq_u8(weighted, weighted);
    const std::uint32_t keys = vgetq_lane_u32(vreinterpretq_u32_u8(vpaddq_u8(pairs, pairs)), 0);
    const uint16x8_t low_pairs = vreinterpretq_u16_u8(vzip1q_u8(caret, shown));
    const uint16x8_t high_pairs = vreinterpretq_u16_u8(vzip2q_u8(caret, shown));
    const Vec quads[4] = {vreinterpretq_u8_u16(vzip1q_u16(k.mark_dash, low_pairs)),
                          vreinterpretq_u8_u16(vzip2q_u16(k.mark_dash, low_pairs)),
                          vreinterpretq_u8_u16(vzip1q_u16(k.mark_dash, high_pairs)),
                          vreinterpretq_u8_u16(vzip2q_u16(k.mark_dash, high_pairs))};
    for (unsigned g = 0; g < groups; ++g) {
      const Pick& pick = k_pick_table.pick[(keys >> 8 * g) & 0xFF];
      Ops::store(out, vqtbl1q_u8(quads[g], vld1q_u8(pick.shuffle)));
      out += pick.length;
    }
    return out;
  }
};

}  // namespace

const FormatRow format_row = {"neon", 0, choose_format_function<Kernels>};

}  // namespace neon
#else
#include "format_rows.h"

namespace neon {
const FormatRow format_row = unavailable_format_row("neon");
}
#endif
