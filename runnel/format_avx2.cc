// SPDX-License-Identifier: MIT
// The formatted copy with AVX2 (with POPCNT and BMI1 for listing newlines): 32 bytes examined at
// a time, and the SSSE3 expansion for -v.
#include "format_paths.h"

#ifdef SIMD_X86
#define FORMAT_TARGET __attribute__((target("avx2,popcnt,bmi")))
#include "format_x86.h"

namespace {
struct Isa : VectorIsa<simd::avx2::Ops>, Bmi1Bits {
  static constexpr bool expands = true;
};
}  // namespace
#include "format_engine.h"

const FormatRow format_row_avx2 = {
    "avx2",
    {.sse2 = true, .ssse3 = true, .popcnt = true, .bmi1 = true, .avx2 = true},
    choose_format_function<Isa>};
#endif
