// SPDX-License-Identifier: MIT
// The formatted copy with AVX2: 32 bytes examined at a time, and the SSSE3 expansion for -v.
#include "format_paths.h"

#if defined(__x86_64__)
#include "format_x86.h"

#define FORMAT_TARGET __attribute__((target("avx2")))
namespace {
struct Isa {
  using Vec = __m256i;
  static constexpr unsigned width = 32;
  static constexpr bool expands = true;

  FORMAT_TARGET static Vec load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  FORMAT_TARGET static void store(char* out, Vec v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
  }
  FORMAT_TARGET static std::uint64_t bits(Vec v) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
  }
  FORMAT_TARGET static std::uint64_t newline_mask(Vec v) {
    return bits(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')));
  }
  FORMAT_TARGET static std::uint64_t tab_mask(Vec v) {
    return bits(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t')));
  }
  template <bool Tabs>
  FORMAT_TARGET static std::uint64_t visible_mask(Vec v) {
    Vec shown = _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v),
                                _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F)));
    Vec kept = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'));
    if constexpr (!Tabs) kept = _mm256_or_si256(kept, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t')));
    return bits(_mm256_andnot_si256(kept, shown));
  }
  template <bool Tabs, bool Ends>
  FORMAT_TARGET static char* expand(const unsigned char* p, unsigned groups, char* out) {
    out = expand16<Tabs, Ends>(p, groups < 4 ? groups : 4, out);
    if (groups > 4) out = expand16<Tabs, Ends>(p + 16, groups - 4, out);
    return out;
  }
};
}  // namespace
#include "format_engine.h"

FormatFunction format_function_avx2(const FormatSwitches& switches) {
  return choose_format_function<Isa>(switches);
}
#else
FormatFunction format_function_avx2(const FormatSwitches&) { return nullptr; }
#endif
