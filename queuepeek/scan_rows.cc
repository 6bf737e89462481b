// SPDX-License-Identifier: MIT
// The table of the queue scans' rows and the choice among them.
#include "scan_rows.h"

namespace {

#define QUEUEPEEK_ROW_ENTRY(name) &name::scan_row,
const ScanRow* const k_rows[] = {QUEUEPEEK_SCAN_ROWS(QUEUEPEEK_ROW_ENTRY)};
#undef QUEUEPEEK_ROW_ENTRY

}  // namespace

std::span<const ScanRow* const> scan_rows() { return k_rows; }

const ScanRow* best_scan_row() {
  static const ScanRow* const best = first_runnable(scan_rows());
  return best;
}
