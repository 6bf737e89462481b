// SPDX-License-Identifier: MIT
// What the tests of the engines' rows share: whether a row can run here, asked of the
// compiler's own run-time check rather than of cpu_features(), and why a row's test skips.
#pragma once

#include <string>

#include "cpu_features.h"

namespace test_support {

/// True when this processor has every feature of `needs`, by the compiler's run-time check.
inline bool processor_has(CpuFeatures needs) {
  if ((needs & cpu::unavailable) != 0) return false;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const struct {
    CpuFeatures feature;
    bool present;
  } features[] = {
      {cpu::sse2, __builtin_cpu_supports("sse2") != 0},
      {cpu::ssse3, __builtin_cpu_supports("ssse3") != 0},
      {cpu::popcnt, __builtin_cpu_supports("popcnt") != 0},
      {cpu::bmi1, __builtin_cpu_supports("bmi") != 0},
      {cpu::avx2, __builtin_cpu_supports("avx2") != 0},
      {cpu::avx512bw, __builtin_cpu_supports("avx512bw") != 0},
      {cpu::avx512vbmi2, __builtin_cpu_supports("avx512vbmi2") != 0},
  };
  for (const auto& f : features) {
    if (f.present) needs &= ~f.feature;
  }
#endif
  return needs == 0;
}

/// Why the tests of the row `name`, which needs `needs`, cannot run here; empty when they can.
inline std::string row_skip_reason(const char* name, CpuFeatures needs) {
  if ((needs & cpu::unavailable) != 0)
    return std::string("the ") + name + " row: not built for this processor";
  if (!processor_has(needs)) return std::string("the ") + name + " row: this processor lacks it";
  return "";
}

/// The first of `rows` that the compiler's check says this processor runs.
template <class Row, class Rows>
const Row* first_row_the_processor_has(const Rows& rows) {
  for (const Row* row : rows)
    if (processor_has(row->needs)) return row;
  return nullptr;
}

}  // namespace test_support
