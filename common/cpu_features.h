// SPDX-License-Identifier: MIT
// Which instruction-set extensions the processor offers, and the choice of the first row of a
// list of implementations that it runs: the one dispatcher of every engine with vector rows.
#pragma once

#include <cstdint>
#include <span>

/// A set of processor features, one bit each.
using CpuFeatures = std::uint32_t;

/// The features the vector rows may need. Baseline x86-64 has SSE2 and none of the others;
/// 32-bit x86 is not promised even SSE2. arm64 rows need none: NEON is part of its baseline.
namespace cpu {
inline constexpr CpuFeatures sse2 = 1u << 0;
inline constexpr CpuFeatures ssse3 = 1u << 1;
inline constexpr CpuFeatures popcnt = 1u << 2;
inline constexpr CpuFeatures bmi1 = 1u << 3;      ///< TZCNT, BLSR and the other bit operations
inline constexpr CpuFeatures avx2 = 1u << 4;      ///< also: the kernel saves the ymm registers
inline constexpr CpuFeatures avx512bw = 1u << 5;  ///< also: the kernel saves the zmm registers
inline constexpr CpuFeatures avx512vbmi2 = 1u << 6;
/// Had by no processor: what a row needs that this build leaves out, because it is another
/// architecture's or the build has no vector rows.
inline constexpr CpuFeatures unavailable = 1u << 31;
}  // namespace cpu

/// What this processor has, asked once per process, at the first call.
CpuFeatures cpu_features();

/// True when this processor has every feature of `needs`.
inline bool cpu_runs(CpuFeatures needs) { return (cpu_features() & needs) == needs; }

/// The first of `rows` (each with a `needs` member) that this processor runs. The last row of
/// every list needs nothing, so that there is always one.
template <class Row>
const Row* first_runnable(std::span<const Row* const> rows) {
  for (const Row* row : rows)
    if (cpu_runs(row->needs)) return row;
  return rows.back();
}
