// SPDX-License-Identifier: MIT
// The processor's extensions, as the compiler's run-time support reads them from CPUID (and
// XGETBV, for whether the operating system keeps the wide registers).
#include "cpu_features.h"

namespace {

CpuFeatures ask_processor() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  features.sse2 = __builtin_cpu_supports("sse2");
  features.ssse3 = __builtin_cpu_supports("ssse3");
  features.popcnt = __builtin_cpu_supports("popcnt");
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512bw = __builtin_cpu_supports("avx512bw");
  features.avx512vbmi2 = __builtin_cpu_supports("avx512vbmi2");
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = ask_processor();
  return features;
}
