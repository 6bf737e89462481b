// SPDX-License-Identifier: MIT
// The queue scans with AVX2: 32 bytes at a time.
#include "simd_avx2.h"

#ifdef SIMD_X86
#define SCAN_TARGET SIMD_AVX2
#include "scan_kernels.h"

// The entries, named after the instruction set so that profiles tell the rows apart.
namespace {
namespace avx2 {

using simd::avx2::Ops;

SCAN_TARGET void tally_done(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<Ops>(tally, p, end);
}

SCAN_TARGET std::uint64_t count_sequences(const unsigned char* p, const unsigned char* end) {
  return count_sequences_vectors<Ops>(p, end);
}

SCAN_TARGET void event_masks(const char* p, std::size_t count, std::uint64_t* masks) {
  event_masks_vectors<Ops>(p, count, masks);
}

}  // namespace avx2
}  // namespace

const ScanRow scan_row_avx2 = {"AVX2", {.avx2 = true}, avx2::tally_done, avx2::count_sequences,
                               avx2::event_masks};

#endif  // SIMD_X86
