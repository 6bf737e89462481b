// SPDX-License-Identifier: MIT
// simd::neon: the byte-vector operations on 16 bytes with NEON (Advanced SIMD), which every
// arm64 processor has.
#pragma once

#include "simd.h"

// NEON is part of the arm64 baseline: no target attribute, no run-time check.
#if QUILLWORKS_VECTOR_PATHS && defined(__aarch64__)
#define SIMD_NEON 1
#endif

#ifdef SIMD_NEON
#include <arm_neon.h>

namespace simd::neon {
namespace {

// Each byte's bit within its half of a vector: a mask ANDed with these and summed by halves
// gives its bits.
inline uint8x16_t bit_weights() {
  constexpr std::uint8_t k_weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  return vld1q_u8(k_weights);
}

struct Ops {
  using Vec = uint8x16_t;
  using Mask = uint8x16_t;  ///< 0xFF in the bytes it holds
  static constexpr unsigned width = 16;

  static Vec load(const unsigned char* p) { return vld1q_u8(p); }
  static void store(void* out, Vec v) { vst1q_u8(static_cast<std::uint8_t*>(out), v); }
  static Vec splat(char c) { return vdupq_n_u8(static_cast<std::uint8_t>(c)); }
  static Vec add(Vec a, Vec b) { return vaddq_u8(a, b); }
  static Vec bit_and(Vec a, Vec b) { return vandq_u8(a, b); }
  static Mask eq(Vec a, Vec b) { return vceqq_u8(a, b); }
  static Mask lt(Vec a, Vec b) { return vcltq_s8(vreinterpretq_s8_u8(a), vreinterpretq_s8_u8(b)); }
  static Mask mask_and(Mask m, Mask n) { return vandq_u8(m, n); }
  static Mask mask_or(Mask m, Mask n) { return vorrq_u8(m, n); }
  static Mask mask_and_not(Mask m, Mask n) { return vbicq_u8(n, m); }
  // NEON has no movemask: the weighted bytes of each half are summed by three pairwise
  // additions, which leave the two bytes of bits in the lowest 16-bit lane.
  static std::uint64_t bits(Mask m) {
    const Vec weighted = vandq_u8(m, bit_weights());
    const Vec pairs = vpaddq_u8(weighted, weighted);
    const Vec quads = vpaddq_u8(pairs, pairs);
    return vgetq_lane_u16(vreinterpretq_u16_u8(vpaddq_u8(quads, quads)), 0);
  }
  // Four masks share the pairwise additions: 9 instructions for 64 bytes, where four bits()
  // and the shifts that join them take 25 (-n on text: 1.65 instructions a byte down to 1.41,
  // -D 2.54 to 2.28, counted under qemu-aarch64).
  static std::uint64_t bits(Mask m0, Mask m1, Mask m2, Mask m3) {
    const Vec w = bit_weights();
    const Vec low = vpaddq_u8(vandq_u8(m0, w), vandq_u8(m1, w));
    const Vec high = vpaddq_u8(vandq_u8(m2, w), vandq_u8(m3, w));
    const Vec quarters = vpaddq_u8(low, high);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(quarters, quarters)), 0);
  }
  // The narrowing shift keeps four bits of every byte in 64 bits: no weights, no additions.
  static bool any(Mask m) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0) != 0;
  }
  // A mask's bytes are 0xFF, that is -1.
  static Vec count(Vec a, Mask m) { return vsubq_u8(a, m); }
  static std::uint64_t sum_bytes(Vec v) { return vaddlvq_u8(v); }
};
static_assert(ByteVectorOps<Ops> && FourMaskBits<Ops>);

}  // namespace
}  // namespace simd::neon

#endif  // SIMD_NEON
