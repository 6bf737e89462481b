// SPDX-License-Identifier: MIT
// The formatted copy with SSSE3: the SSE2 path, plus chunks with several bytes to rewrite under
// -v expanded by byte shuffles rather than one byte at a time through the table.
#include "format_paths.h"

#if defined(__x86_64__)
#include "format_x86.h"

#define FORMAT_TARGET __attribute__((target("ssse3")))
namespace {
struct Isa : Sse2Ops {
  static constexpr bool expands = true;
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static char* expand(const unsigned char* p, unsigned groups, char* out, Constants) {
    return expand16<Tabs, Ends>(p, groups, out);
  }
};
}  // namespace
#include "format_engine.h"

FormatFunction format_function_ssse3(const FormatSwitches& switches) {
  return choose_format_function<Isa>(switches);
}
#else
FormatFunction format_function_ssse3(const FormatSwitches&) { return nullptr; }
#endif
