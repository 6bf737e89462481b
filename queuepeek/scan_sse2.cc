// SPDX-License-Identifier: MIT
// The queue scans with SSE2: 16 bytes at a time.
#include "simd_sse2.h"

#ifdef SIMD_X86
#define SCAN_TARGET SIMD_SSE2
#include "scan_kernels.h"

// The entries, named after the instruction set so that profiles tell the rows apart.
namespace {
namespace sse2 {

using simd::sse2::Ops;

SCAN_TARGET void tally_done(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<Ops>(tally, p, end);
}

SCAN_TARGET std::uint64_t count_sequences(const unsigned char* p, const unsigned char* end) {
  return count_sequences_vectors<Ops>(p, end);
}

SCAN_TARGET void event_masks(const char* p, std::size_t count, std::uint64_t* masks) {
  event_masks_vectors<Ops>(p, count, masks);
}

}  // namespace sse2
}  // namespace

const ScanRow scan_row_sse2 = {"SSE2", {.sse2 = true}, sse2::tally_done, sse2::count_sequences,
                               sse2::event_masks};

#endif  // SIMD_X86
