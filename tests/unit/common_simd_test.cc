// SPDX-License-Identifier: MIT
// Every set of byte-vector operations against the same operations done byte by byte: no byte
// may carry into its neighbour, and masks keep memory order on big-endian machines too.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "row_support.h"
#include "simd_avx2.h"
#include "simd_avx512.h"
#include "simd_neon.h"
#include "simd_sse2.h"
#include "simd_word.h"

namespace {

constexpr unsigned k_most = 64;  // the widest vector

// What one pair of inputs gives under each operation of a set.
struct Outcome {
  unsigned char loaded[k_most], added[k_most], anded[k_most], counted[k_most];
  std::uint64_t eq, lt, below, below_negative, both, either, lt_only, sum;
  bool any_eq, any_both;
};

// Compiled into each set's own function below, for its instruction set. Its vectors never
// cross a call: the compiler's warning about passing them without the set's registers is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
template <simd::ByteVectorOps V>
inline __attribute__((always_inline)) Outcome compute(const unsigned char* a,
                                                      const unsigned char* b) {
  Outcome o{};
  const typename V::Vec va = V::load(a), vb = V::load(b);
  V::store(o.loaded, va);
  V::store(o.added, V::add(va, vb));
  V::store(o.anded, V::bit_and(va, vb));
  const typename V::Mask eq = V::eq(va, vb), lt = V::lt(va, vb);
  // Counts start low enough that no byte overflows, as the kernels keep them.
  V::store(o.counted, V::count(V::count(V::bit_and(va, V::splat(0x7F)), eq), lt));
  o.eq = V::bits(eq);
  o.lt = V::bits(lt);
  // Against constants, as the kernels compare: the word's own way for those without a
  // negative byte, and its general one.
  o.below = V::bits(V::lt(va, V::splat(0x21)));
  o.below_negative = V::bits(V::lt(va, V::splat(static_cast<char>(0x90))));
  o.both = V::bits(V::mask_and(eq, lt));
  o.either = V::bits(V::mask_or(eq, lt));
  o.lt_only = V::bits(V::mask_and_not(eq, V::mask_or(eq, lt)));
  o.sum = V::sum_bytes(va);
  // eq and lt never hold the same byte: any() of both is false, whatever else a mask keeps.
  o.any_eq = V::any(eq);
  o.any_both = V::any(V::mask_and(eq, lt));
  return o;
}

Outcome word(const unsigned char* a, const unsigned char* b) {
  return compute<simd::word::Ops>(a, b);
}
#ifdef SIMD_X86
SIMD_SSE2 Outcome sse2(const unsigned char* a, const unsigned char* b) {
  return compute<simd::sse2::Ops>(a, b);
}
SIMD_AVX2 Outcome avx2(const unsigned char* a, const unsigned char* b) {
  return compute<simd::avx2::Ops>(a, b);
}
SIMD_AVX512 Outcome avx512(const unsigned char* a, const unsigned char* b) {
  return compute<simd::avx512::Ops>(a, b);
}
#endif
#ifdef SIMD_NEON
Outcome neon(const unsigned char* a, const unsigned char* b) {
  return compute<simd::neon::Ops>(a, b);
}
#endif

struct OpsSet {
  const char* name;
  CpuFeatures needs;
  unsigned width;
  Outcome (*compute)(const unsigned char*, const unsigned char*);
};

const OpsSet k_sets[] = {
    {"word", 0, simd::word::Ops::width, word},
#ifdef SIMD_X86
    {"sse2", cpu::sse2, simd::sse2::Ops::width, sse2},
    {"avx2", cpu::avx2, simd::avx2::Ops::width, avx2},
    {"avx512", cpu::avx512bw, simd::avx512::Ops::width, avx512},
#endif
#ifdef SIMD_NEON
    {"neon", 0, simd::neon::Ops::width, neon},
#endif
};

class SimdOps : public testing::TestWithParam<OpsSet> {};

TEST_P(SimdOps, EveryOperationMatchesTheBytes) {
  const OpsSet& set = GetParam();
  const std::string skip = test_support::row_skip_reason(set.name, set.needs);
  if (!skip.empty()) GTEST_SKIP() << skip;
  // The bytes where carries, borrows and signs change, then any byte.
  const unsigned char edges[] = {0x00, 0x01, 0x1F, 0x20, 0x21, 0x7E, 0x7F, 0x80, 0x81, 0x90,
                                 0xFE, 0xFF};
  std::mt19937 random(17);
  auto pick = [&] {
    const unsigned r = random() % 24;
    return r < 12 ? edges[r] : static_cast<unsigned char>(random());
  };
  auto signed_less = [](unsigned char x, unsigned char y) {
    return static_cast<signed char>(x) < static_cast<signed char>(y);
  };
  for (int round = 0; round < 20000; ++round) {
    unsigned char a[k_most], b[k_most];
    for (unsigned i = 0; i < set.width; ++i) {
      a[i] = pick();
      b[i] = random() % 4 == 0 ? a[i] : pick();
    }
    const Outcome o = set.compute(a, b);
    std::uint64_t eq = 0, lt = 0, below = 0, below_negative = 0, sum = 0;
    for (unsigned i = 0; i < set.width; ++i) {
      SCOPED_TRACE(testing::Message() << "byte " << i << ": " << +a[i] << ", " << +b[i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      if (a[i] == b[i]) eq |= bit;
      if (signed_less(a[i], b[i])) lt |= bit;
      if (signed_less(a[i], 0x21)) below |= bit;
      if (signed_less(a[i], 0x90)) below_negative |= bit;
      sum += a[i];
      EXPECT_EQ(o.loaded[i], a[i]);
      EXPECT_EQ(o.added[i], static_cast<unsigned char>(a[i] + b[i]));
      EXPECT_EQ(o.anded[i], a[i] & b[i]);
      EXPECT_EQ(o.counted[i], (a[i] & 0x7F) + (a[i] == b[i]) + signed_less(a[i], b[i]));
    }
    ASSERT_EQ(o.eq, eq);
    ASSERT_EQ(o.lt, lt);
    ASSERT_EQ(o.below, below);
    ASSERT_EQ(o.below_negative, below_negative);
    ASSERT_EQ(o.both, eq & lt);
    ASSERT_EQ(o.either, eq | lt);
    ASSERT_EQ(o.lt_only, lt & ~eq);
    ASSERT_EQ(o.sum, sum);
    ASSERT_EQ(o.any_eq, eq != 0);
    ASSERT_FALSE(o.any_both);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(, SimdOps, testing::ValuesIn(k_sets),
                         [](const testing::TestParamInfo<OpsSet>& set) {
                           return std::string(set.param.name);
                         });

#ifdef SIMD_NEON
// The bits of four masks at once, which the kernels that want 64 bits take on NEON: each
// mask's 16 bytes in their place.
TEST(SimdNeon, FourMasksGiveTheBitsOfTheirBytes) {
  using V = simd::neon::Ops;
  std::mt19937 random(23);
  for (int round = 0; round < 2000; ++round) {
    unsigned char bytes[64];
    std::uint64_t expected = 0;
    for (unsigned i = 0; i < 64; ++i) {
      bytes[i] = random() % 3 == 0 ? 0 : static_cast<unsigned char>(random());
      if (bytes[i] == 0) expected |= std::uint64_t{1} << i;
    }
    V::Mask m[4];
    for (unsigned k = 0; k < 4; ++k) m[k] = V::eq(V::load(bytes + 16 * k), V::splat(0));
    ASSERT_EQ(V::bits(m[0], m[1], m[2], m[3]), expected);
  }
}
#endif

}  // namespace
