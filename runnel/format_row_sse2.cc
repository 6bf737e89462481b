// SPDX-License-Identifier: MIT
// The formatted copy with SSE2, which every x86-64 processor has and most 32-bit ones: 16 bytes
// examined at a time. Without a byte shuffle, -v expands crowded chunks through the plain row's
// table.
#include "simd_sse2.h"

#ifdef SIMD_X86
#define FORMAT_TARGET SIMD_SSE2
#include "format_x86.h"

namespace sse2 {
namespace {

struct Kernels : PlainBits, TableExpansion<3> {
  using Ops = simd::sse2::Ops;
  using Constants = X86Constants<Ops>;
};

}  // namespace

const FormatRow format_row = {"sse2", cpu::sse2, choose_format_function<Kernels>};

}  // namespace sse2
#else
#include "format_rows.h"

namespace sse2 {
const FormatRow format_row = unavailable_format_row("sse2");
}
#endif
