// SPDX-License-Identifier: MIT
// The processor check reads CPUID and XGETBV itself; the compiler's run-time support reads the
// same, and the two must agree on every feature. The dispatcher takes the first row whose
// needs are all met.
#include <gtest/gtest.h>

#include <vector>

#include "cpu_features.h"
#include "row_support.h"

namespace {

constexpr CpuFeatures k_every_feature[] = {cpu::sse2,     cpu::ssse3,   cpu::popcnt,
                                           cpu::bmi1,     cpu::avx2,    cpu::avx512bw,
                                           cpu::avx512vbmi2};

TEST(CpuFeatures, AgreeWithTheCompilersRunTimeCheck) {
  for (const CpuFeatures feature : k_every_feature) {
    SCOPED_TRACE(feature);
    EXPECT_EQ((cpu_features() & feature) != 0, test_support::processor_has(feature));
  }
  EXPECT_EQ(cpu_features() & cpu::unavailable, 0u);
#if !defined(__x86_64__) && !defined(__i386__)
  EXPECT_EQ(cpu_features(), 0u);
#endif
}

struct Row {
  const char* name;
  CpuFeatures needs;
};

TEST(CpuFeatures, TheFirstRowWhoseNeedsAreAllMetIsChosen) {
  const CpuFeatures have = cpu_features();
  CpuFeatures lacking = cpu::unavailable;
  for (const CpuFeatures feature : k_every_feature)
    if ((have & feature) == 0) lacking = feature;
  const Row one_short{"one short", have | lacking};
  const Row unavailable{"unavailable", cpu::unavailable};
  const Row everything_here{"everything here", have};
  const Row plain{"plain", 0};
  const std::vector<const Row*> rows = {&one_short, &unavailable, &everything_here, &plain};
  EXPECT_STREQ(first_runnable<Row>(rows)->name, "everything here");
  const std::vector<const Row*> none_but_the_last = {&one_short, &unavailable, &plain};
  EXPECT_STREQ(first_runnable<Row>(none_but_the_last)->name, "plain");
}

}  // namespace
