// SPDX-License-Identifier: MIT
// The processor's extensions, read from CPUID at the first call, together with XGETBV for
// whether the operating system saves the wide registers. Asked lazily rather than through the
// compiler's run-time support, whose constructor runs CPUID at every start of the program
// (14 us here, a virtual machine, where each CPUID traps), even for runs that never format or
// scan a byte.
#include "cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

#if defined(__x86_64__) || defined(__i386__)

constexpr unsigned bit(int n) { return 1u << n; }

// The state components enabled in XCR0 (the instruction exists when CPUID says OSXSAVE).
unsigned long long enabled_state() {
  unsigned low;
  unsigned high;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<unsigned long long>(high) << 32) | low;
}

CpuFeatures ask_processor() {
  CpuFeatures features = 0;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
  if ((edx & bit(26)) != 0) features |= cpu::sse2;
  if ((ecx & bit(9)) != 0) features |= cpu::ssse3;
  if ((ecx & bit(23)) != 0) features |= cpu::popcnt;
  // The wide registers are usable only where the kernel saves them: SSE and AVX state (bits 1
  // and 2) for 256 bits, and the opmask and upper ZMM state (bits 5 to 7) as well for 512.
  const bool os_saves = (ecx & bit(27)) != 0;
  const bool avx = (ecx & bit(28)) != 0;
  const unsigned long long state = os_saves ? enabled_state() : 0;
  const bool ymm_saved = (state & 0x6) == 0x6;
  const bool zmm_saved = (state & 0xE6) == 0xE6;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return features;
  if ((ebx & bit(3)) != 0) features |= cpu::bmi1;
  if (avx && ymm_saved && (ebx & bit(5)) != 0) features |= cpu::avx2;
  const bool avx512f = zmm_saved && (ebx & bit(16)) != 0;
  if (avx512f && (ebx & bit(30)) != 0) features |= cpu::avx512bw;
  if (avx512f && (ecx & bit(6)) != 0) features |= cpu::avx512vbmi2;
  return features;
}

#else

CpuFeatures ask_processor() { return 0; }

#endif

}  // namespace

CpuFeatures cpu_features() {
  static const CpuFeatures features = ask_processor();
  return features;
}
