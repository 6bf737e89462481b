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
  if (!s.show_nonprinting) return format_row_sse2.choose(s);
  constexpr Numbers R = Numbers::from_switches;
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<Isa, true, false, false>,
      format_bytes<Isa, true, false, true>,
      format_bytes<Isa, true, true, false>,
      format_bytes<Isa, true, true, true>,
  };
  static constexpr FormatFunction k_lines[] = {
      format_lines<Isa, true, false, false, R>,
      format_lines<Isa, true, false, true, R>,
      format_lines<Isa, true, true, false, R>,
      format_lines<Isa, true, true, true, R>,
  };
  unsigned index = (s.show_tabs ? 2 : 0) + (s.show_ends ? 1 : 0);
  return !s.number_lines && !s.squeeze_blank ? k_bytes[index] : k_lines[index];
}

}  // namespace

const FormatRow format_row_ssse3 = {"ssse3", {.sse2 = true, .ssse3 = true}, choose_ssse3};
#endif
