// SPDX-License-Identifier: MIT
// The formatted copy with AVX2 (with POPCNT and BMI1 for listing newlines): 32 bytes examined at
// a time, and the SSSE3 expansion for -v.
#include "simd_avx2.h"

#ifdef SIMD_X86
#define FORMAT_TARGET __attribute__((target("avx2,popcnt,bmi")))
#include "format_x86.h"

namespace avx2 {
namespace {

struct Kernels : Bmi1Bits, ShuffleExpansion<simd::avx2::Ops> {
  using Ops = simd::avx2::Ops;
  using Constants = X86Constants<Ops>;
};

}  // namespace

const FormatRow format_row = {"avx2",
                              cpu::sse2 | cpu::ssse3 | cpu::popcnt | cpu::bmi1 | cpu::avx2,
                              choose_format_function<Kernels>};

}  // namespace avx2
#else
#include "format_rows.h"

namespace avx2 {
const FormatRow format_row = unavailable_format_row("avx2");
}
#endif
