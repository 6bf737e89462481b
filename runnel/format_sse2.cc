// SPDX-License-Identifier: MIT
// The formatted copy with SSE2, which every x86-64 processor has and most 32-bit ones: 16 bytes
// examined at a time.
#include "format_paths.h"

#ifdef SIMD_X86
#define FORMAT_TARGET SIMD_SSE2
#include "format_x86.h"

namespace {
struct Isa : VectorIsa<simd::sse2::Ops>, PlainBits {
  static constexpr bool expands = false;
};
}  // namespace
#include "format_engine.h"

const FormatRow format_row_sse2 = {"sse2", {.sse2 = true}, choose_format_function<Isa>};
#endif
