// SPDX-License-Identifier: MIT
// The formatted copy with SSSE3: the SSE2 path, plus chunks with several bytes to rewrite under
// -v expanded by byte shuffles rather than one byte at a time through the table.
#include "format_paths.h"

#ifdef SIMD_X86
#define FORMAT_TARGET __attribute__((target("ssse3")))
#include "format_x86.h"

namespace {
struct Isa : VectorIsa<simd::sse2::Ops>, PlainBits {
  static constexpr bool expands = true;
};
}  // namespace
#include "format_engine.h"

namespace {

// Only -v uses the shuffles: every other copy would be the SSE2 path's code again.
FormatFunction choose_ssse3(const FormatSwitches& s) {
  return s.show_nonprinting ? choose_visible_function<Isa>(s) : format_row_sse2.choose(s);
}

}  // namespace

const FormatRow format_row_ssse3 = {"ssse3", {.sse2 = true, .ssse3 = true}, choose_ssse3};
#endif
