// SPDX-License-Identifier: MIT
// The formatted copy with SSE2, which every x86-64 processor has and most 32-bit ones: 16 bytes
// examined at a time.
#include "format_paths.h"

#if QUILLWORKS_VECTOR_PATHS && (defined(__x86_64__) || defined(__i386__))
#include "format_x86.h"

#define FORMAT_TARGET SSE2_TARGET
namespace {
struct Isa : Sse2Ops {
  static constexpr bool expands = false;
};
}  // namespace
#include "format_engine.h"

FormatFunction format_function_sse2(const FormatSwitches& switches) {
  return choose_format_function<Isa>(switches);
}
#else
FormatFunction format_function_sse2(const FormatSwitches&) { return nullptr; }
#endif
