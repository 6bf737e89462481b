// SPDX-License-Identifier: MIT
// Which instruction-set extensions the processor offers, for code that picks a vector path at
// run time. The plain code of every engine stays the path for processors without them.
#pragma once

/// The extensions the vector paths may use. Baseline x86-64 has SSE2 and none of the others;
/// 32-bit x86 is not promised even SSE2. Everything is false on other processors.
struct CpuFeatures {
  bool sse2 = false;
  bool ssse3 = false;
  bool popcnt = false;
  bool bmi1 = false;          ///< TZCNT, BLSR and the other bit operations
  bool avx2 = false;          ///< also: the kernel saves the 256-bit registers
  bool avx512bw = false;      ///< also: the kernel saves the 512-bit registers
  bool avx512vbmi2 = false;
};

/// What this processor has, asked once per process, at the first call.
const CpuFeatures& cpu_features();

/// True when this processor has every extension that `needed` sets.
bool cpu_offers(const CpuFeatures& needed);
