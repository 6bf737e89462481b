// SPDX-License-Identifier: MIT
// The formatted copy with SSSE3: the SSE2 row, plus chunks with several bytes to rewrite under
// -v expanded by byte shuffles rather than one byte at a time through the table.
#include "simd_sse2.h"

#ifdef SIMD_X86
#define FORMAT_TARGET __attribute__((target("ssse3")))
#include "format_x86.h"

namespace ssse3 {
namespace {

struct Kernels : PlainBits, ShuffleExpansion<simd::sse2::Ops> {
  using Ops = simd::sse2::Ops;
  using Constants = X86Constants<Ops>;
};

// Only -v uses the shuffles: every other copy would be the SSE2 row's code again.
FormatFunction choose(const FormatSwitches& s) {
  return s.show_nonprinting ? choose_visible_function<Kernels>(s) : sse2::format_row.choose(s);
}

}  // namespace

const FormatRow format_row = {"ssse3", cpu::sse2 | cpu::ssse3, choose};

}  // namespace ssse3
#else
#include "format_rows.h"

namespace ssse3 {
const FormatRow format_row = unavailable_format_row("ssse3");
}
#endif
