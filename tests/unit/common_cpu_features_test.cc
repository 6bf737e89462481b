// SPDX-License-Identifier: MIT
// The processor check reads CPUID and XGETBV itself; the compiler's run-time support reads the
// same, and the two must agree on every extension.
#include <gtest/gtest.h>

#include "cpu_features.h"

namespace {

TEST(CpuFeatures, EveryProcessorOffersNoExtension) { EXPECT_TRUE(cpu_offers({})); }

#if defined(__x86_64__) || defined(__i386__)
TEST(CpuFeatures, AgreeWithTheCompilersRunTimeCheck) {
  __builtin_cpu_init();
  const CpuFeatures& features = cpu_features();
  const struct {
    const char* name;
    bool ours;
    bool compilers;
  } rows[] = {
      {"sse2", features.sse2, __builtin_cpu_supports("sse2") != 0},
      {"ssse3", features.ssse3, __builtin_cpu_supports("ssse3") != 0},
      {"popcnt", features.popcnt, __builtin_cpu_supports("popcnt") != 0},
      {"bmi", features.bmi1, __builtin_cpu_supports("bmi") != 0},
      {"avx2", features.avx2, __builtin_cpu_supports("avx2") != 0},
      {"avx512bw", features.avx512bw, __builtin_cpu_supports("avx512bw") != 0},
      {"avx512vbmi2", features.avx512vbmi2, __builtin_cpu_supports("avx512vbmi2") != 0},
  };
  for (const auto& row : rows) EXPECT_EQ(row.ours, row.compilers) << row.name;
  EXPECT_EQ(cpu_offers({.sse2 = true, .avx2 = true}), features.sse2 && features.avx2);
  EXPECT_TRUE(cpu_offers(features));
}
#else
TEST(CpuFeatures, NoneOutsideX86) {
  const CpuFeatures& features = cpu_features();
  EXPECT_FALSE(features.sse2 || features.ssse3 || features.popcnt || features.bmi1 ||
               features.avx2 || features.avx512bw || features.avx512vbmi2);
  EXPECT_FALSE(cpu_offers({.sse2 = true}));
}
#endif

}  // namespace
