// SPDX-License-Identifier: MIT
// The plain row of the queue scans, which every processor runs: a byte, or a general register's
// bytes, at a time, and the C library's memchr.
#include <cstring>

#include "scan_rows.h"
#include "simd_word.h"
#include "tally.h"

#define SCAN_TARGET
#include "scan_kernels.h"

void tally_done_bytes(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
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

namespace plain {
namespace {

// "-S" a word at a time, over the same kernel as the vector rows. "-B" keeps memchr, which
// passes over the stretches between two ">" faster than a word at a time.
void tally_done(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<simd::word::Ops>(tally, p, end);
}

}  // namespace

const ScanRow scan_row = {"plain", 0, tally_done, count_sequences_plain, nullptr};

}  // namespace plain
