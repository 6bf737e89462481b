// SPDX-License-Identifier: MIT
// The rows of the queue scans: one implementation each, plain or vector code, chosen at run
// time. Each row is defined by the source named after it, scan_row_NAME.cc, which the build
// compiles everywhere: on an architecture that the row is not for, it defines a row that no
// processor runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu_features.h"

struct DoneTally;

/// The events of -D in a span of a report: a general register's bits, one per byte of a span
/// of as many bytes (64 on 64-bit machines, 32 on 32-bit ones, where 64-bit masks take two
/// registers and their operations several instructions).
using EventMask = unsigned long;
inline constexpr std::size_t k_event_span = 8 * sizeof(EventMask);

/// One implementation of the tallies and the extraction: every row gives the same answers;
/// they differ in the instructions they use.
struct ScanRow {
  const char* name;   ///< for test reports and measurements
  CpuFeatures needs;  ///< the features it runs on; cpu::unavailable when left out of the build
  /// "-S" over [p, end): p[-1] is readable, and tally.after_mark tells about it.
  void (*tally_done)(DoneTally& tally, const unsigned char* p, const unsigned char* end);
  /// "-B": the ">", ":", newline sequences that end in [p, end); p[-2] and p[-1] are readable.
  std::uint64_t (*count_sequences)(const unsigned char* p, const unsigned char* end);
  /// "-D": sets bit j of masks[k], for k < count, when byte j of the k_event_span bytes at
  /// p + k_event_span * k is a NUL or a newline that follows ">:" or another newline; p[-2] and
  /// p[-1] are readable. Null for the rows that find each newline with memchr instead.
  void (*event_masks)(const char* p, std::size_t count, EventMask* masks);
};

/// Every row, best first, one line each; the plain row, which every processor runs, comes last.
#define QUEUEPEEK_SCAN_ROWS(ROW) ROW(avx2) ROW(sse2) ROW(neon) ROW(plain)

#define QUEUEPEEK_DECLARE_ROW(name) \
  namespace name {                  \
  extern const ScanRow scan_row;    \
  }
QUEUEPEEK_SCAN_ROWS(QUEUEPEEK_DECLARE_ROW)
#undef QUEUEPEEK_DECLARE_ROW

/// Every row of the list, in its order.
std::span<const ScanRow* const> scan_rows();

/// The first row this processor runs, worked out once per process.
const ScanRow* best_scan_row();

/// A row of the list that this build leaves out: no processor runs it.
constexpr ScanRow unavailable_scan_row(const char* name) {
  return {name, cpu::unavailable, nullptr, nullptr, nullptr};
}

// The plain row's byte loops, which the vector rows also use for their last bytes.
void tally_done_bytes(DoneTally& tally, const unsigned char* p, const unsigned char* end);
std::uint64_t count_sequences_plain(const unsigned char* p, const unsigned char* end);
