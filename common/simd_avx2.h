// SPDX-License-Identifier: MIT
// simd::avx2: the byte-vector operations on 32 bytes with AVX2.
#pragma once

#include "simd.h"

#ifdef SIMD_X86
#include <immintrin.h>

#include <cstring>

#define SIMD_AVX2 __attribute__((target("avx2")))

namespace simd::avx2 {
namespace {

struct Ops {
  using Vec = unsigned char __attribute__((vector_size(32)));
  using Signed = signed char __attribute__((vector_size(32)));
  using Mask = Vec;  ///< 0xFF in the bytes it holds
  static constexpr unsigned width = 32;

  SIMD_AVX2 static Vec load(const unsigned char* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  SIMD_AVX2 static void store(void* out, Vec v) { std::memcpy(out, &v, sizeof v); }
  SIMD_AVX2 static Vec splat(char c) { return Vec{} + static_cast<unsigned char>(c); }
  SIMD_AVX2 static Vec add(Vec a, Vec b) { return a + b; }
  SIMD_AVX2 static Vec bit_and(Vec a, Vec b) { return a & b; }
  SIMD_AVX2 static Mask eq(Vec a, Vec b) { return reinterpret_cast<Vec>(a == b); }
  SIMD_AVX2 static Mask lt(Vec a, Vec b) {
    return reinterpret_cast<Vec>(Signed(a) < Signed(b));
  }
  SIMD_AVX2 static Mask mask_and(Mask m, Mask n) { return m & n; }
  SIMD_AVX2 static Mask mask_or(Mask m, Mask n) { return m | n; }
  SIMD_AVX2 static Mask mask_and_not(Mask m, Mask n) { return ~m & n; }
  SIMD_AVX2 static std::uint64_t bits(Mask m) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(reinterpret_cast<__m256i>(m)));
  }
  SIMD_AVX2 static bool any(Mask m) { return bits(m) != 0; }
  // A mask's bytes are 0xFF, that is -1.
  SIMD_AVX2 static Vec count(Vec a, Mask m) { return a - m; }
  // The four 64-bit sums fit in 16 bits each; see simd::sse2::Ops::sum_bytes.
  SIMD_AVX2 static std::uint64_t sum_bytes(Vec v) {
    const __m256i quarters =
        _mm256_sad_epu8(reinterpret_cast<__m256i>(v), _mm256_setzero_si256());
    const __m128i halves =
        _mm_add_epi32(_mm256_castsi256_si128(quarters), _mm256_extracti128_si256(quarters, 1));
    return static_cast<std::uint32_t>(
        _mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
  }
};
static_assert(ByteVectorOps<Ops>);

}  // namespace
}  // namespace simd::avx2

#endif  // SIMD_X86
