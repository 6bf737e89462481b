// SPDX-License-Identifier: MIT
// simd::sse2: the byte-vector operations on 16 bytes with SSE2, which every x86-64 processor
// has and 32-bit x86 ones may lack.
#pragma once

#include "simd.h"

#ifdef SIMD_X86
#include <immintrin.h>

#include <cstring>

#define SIMD_SSE2 __attribute__((target("sse2")))

namespace simd::sse2 {
namespace {

struct Ops {
  using Vec = unsigned char __attribute__((vector_size(16)));
  using Signed = signed char __attribute__((vector_size(16)));
  using Mask = Vec;  ///< 0xFF in the bytes it holds
  static constexpr unsigned width = 16;

  SIMD_SSE2 static Vec load(const unsigned char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  SIMD_SSE2 static void store(void* out, Vec v) { std::memcpy(out, &v, sizeof v); }
  SIMD_SSE2 static Vec splat(char c) { return Vec{} + static_cast<unsigned char>(c); }
  SIMD_SSE2 static Vec add(Vec a, Vec b) { return a + b; }
  SIMD_SSE2 static Vec bit_and(Vec a, Vec b) { return a & b; }
  SIMD_SSE2 static Mask eq(Vec a, Vec b) { return reinterpret_cast<Vec>(a == b); }
  SIMD_SSE2 static Mask lt(Vec a, Vec b) {
    return reinterpret_cast<Vec>(Signed(a) < Signed(b));
  }
  SIMD_SSE2 static Mask mask_and(Mask m, Mask n) { return m & n; }
  SIMD_SSE2 static Mask mask_or(Mask m, Mask n) { return m | n; }
  SIMD_SSE2 static Mask mask_and_not(Mask m, Mask n) { return ~m & n; }
  SIMD_SSE2 static std::uint64_t bits(Mask m) {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(m)));
  }
  SIMD_SSE2 static bool any(Mask m) { return bits(m) != 0; }
  // A mask's bytes are 0xFF, that is -1.
  SIMD_SSE2 static Vec count(Vec a, Mask m) { return a - m; }
  // Each half's sum fits in 16 bits: the halves are added as 32-bit lanes, which 32-bit x86
  // can move to a general register (the 64-bit move exists on x86-64 only).
  SIMD_SSE2 static std::uint64_t sum_bytes(Vec v) {
    const __m128i halves = _mm_sad_epu8(reinterpret_cast<__m128i>(v), _mm_setzero_si128());
    return static_cast<std::uint32_t>(
        _mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
  }
};
static_assert(ByteVectorOps<Ops>);

}  // namespace
}  // namespace simd::sse2

#endif  // SIMD_X86
