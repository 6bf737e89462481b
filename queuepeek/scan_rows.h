// SPDX-License-Identifier: MIT
// The table of implementations of the queue scans: plain byte code, and vector code chosen at
// run time. Each row is defined by the source that compiles it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu_features.h"
#include "simd.h"

struct DoneTally;

/// One implementation of the tallies and the extraction: every row gives the same answers;
/// they differ in the instructions they use.
struct ScanRow {
  const char* name;    ///< for test reports and measurements
  CpuFeatures needs;   ///< the extensions it runs on
  /// "-S" over [p, end): p[-1] is readable, and tally.after_mark tells about it.
  void (*tally_done)(DoneTally& tally, const unsigned char* p, const unsigned char* end);
  /// "-B": the ">", ":", newline sequences that end in [p, end); p[-2] and p[-1] are readable.
  std::uint64_t (*count_sequences)(const unsigned char* p, const unsigned char* end);
  /// "-D": sets bit j of masks[k], for k < count, when byte j of the 64 at p + 64 k is a NUL or
  /// a newline that follows ">:" or another newline; p[-2] and p[-1] are readable. Null for the
  /// plain row, which finds each newline with memchr instead.
  void (*event_masks)(const char* p, std::size_t count, std::uint64_t* masks);
};

/// Every row of this build, best first; the last is the plain row, which every processor runs.
std::span<const ScanRow* const> scan_rows();

/// True when this processor runs `row`.
bool runs(const ScanRow& row);

/// The first row this processor runs, worked out once per process.
const ScanRow* best_scan_row();

// The plain kernels, which the vector rows also use for their last bytes.
void tally_done_plain(DoneTally& tally, const unsigned char* p, const unsigned char* end);
std::uint64_t count_sequences_plain(const unsigned char* p, const unsigned char* end);

#ifdef SIMD_X86
extern const ScanRow scan_row_avx2;
extern const ScanRow scan_row_sse2;
#endif
