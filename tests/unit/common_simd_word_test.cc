// SPDX-License-Identifier: MIT
// The word-at-a-time byte vocabulary against the same operations byte by byte: no byte may
// carry into its neighbour, and masks keep memory order on big-endian machines too.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "simd_word.h"

namespace {

using Ops = simd::word::Ops;
constexpr unsigned k_width = Ops::width;

TEST(SimdWord, EveryOperationMatchesTheBytes) {
  // The bytes where carries, borrows and signs change, then any byte.
  const unsigned char edges[] = {0x00, 0x01, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x81, 0xFE, 0xFF};
  std::mt19937 random(17);
  auto pick = [&] {
    const unsigned r = random() % 20;
    return r < 10 ? edges[r] : static_cast<unsigned char>(random());
  };
  for (int round = 0; round < 20000; ++round) {
    unsigned char a[k_width], b[k_width];
    for (unsigned i = 0; i < k_width; ++i) {
      a[i] = pick();
      b[i] = random() % 4 == 0 ? a[i] : pick();
    }
    const Ops::Vec va = Ops::load(a), vb = Ops::load(b);
    unsigned char eq[k_width], lt[k_width], sub[k_width];
    Ops::store(eq, Ops::eq(va, vb));
    Ops::store(lt, Ops::lt(va, vb));
    Ops::store(sub, Ops::sub(va, vb));
    std::uint64_t equal_bits = 0, sum = 0;
    for (unsigned i = 0; i < k_width; ++i) {
      SCOPED_TRACE(testing::Message() << "byte " << i << ": " << +a[i] << ", " << +b[i]);
      EXPECT_EQ(eq[i], a[i] == b[i] ? 0xFF : 0);
      EXPECT_EQ(lt[i], static_cast<signed char>(a[i]) < static_cast<signed char>(b[i]) ? 0xFF : 0);
      EXPECT_EQ(sub[i], static_cast<unsigned char>(a[i] - b[i]));
      if (a[i] == b[i]) equal_bits |= std::uint64_t{1} << i;
      sum += a[i];
    }
    ASSERT_EQ(Ops::bits(Ops::eq(va, vb)), equal_bits);
    ASSERT_EQ(Ops::sum_bytes(va), sum);
    if (HasFailure()) break;
  }
}

}  // namespace
