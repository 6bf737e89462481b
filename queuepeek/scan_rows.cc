// SPDX-License-Identifier: MIT
// The plain row of the queue scans, the table of rows and the choice among them.
#include "scan_rows.h"

#include <cstring>
#include <iterator>

#include "simd_word.h"
#include "tally.h"

#define SCAN_TARGET
#include "scan_kernels.h"

void tally_done_plain(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  for (; p < end; ++p) {
    if (*p == 'D' && tally.after_mark) {
      ++tally.done;
      tally.last_done = tally.records + 1;
    } else if (*p == 0) {
      ++tally.records;
    }
    tally.after_mark = *p == 0 || *p == '#';
  }
}

// ">" is the rarest of the three bytes in real reports (about one per recipient), so memchr
// runs over long stretches.
std::uint64_t count_sequences_plain(const unsigned char* p, const unsigned char* end) {
  std::uint64_t count = 0;
  const unsigned char* const last = end - 2;
  for (const unsigned char* q = p - 2;
       q < last && (q = static_cast<const unsigned char*>(std::memchr(q, '>', last - q))); ++q)
    if (q[1] == ':' && q[2] == '\n') ++count;
  return count;
}

namespace {

// "-S" a word at a time, over the same kernel as the vector rows. "-B" keeps memchr, which
// passes over the stretches between two ">" faster than a word at a time.
void tally_done_words(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<simd::word::Ops>(tally, p, end);
}

const ScanRow scan_row_plain = {"plain", {}, tally_done_words, count_sequences_plain, nullptr};

const ScanRow* const k_rows[] = {
#ifdef SIMD_X86
    &scan_row_avx2,
    &scan_row_sse2,
#endif
    &scan_row_plain,
};

}  // namespace

std::span<const ScanRow* const> scan_rows() { return k_rows; }

bool runs(const ScanRow& row) { return cpu_offers(row.needs); }

const ScanRow* best_scan_row() {
  static const ScanRow* const best = [] {
    for (const ScanRow* row : k_rows)
      if (runs(*row)) return row;
    return &scan_row_plain;
  }();
  return best;
}
