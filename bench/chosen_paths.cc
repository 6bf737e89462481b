// SPDX-License-Identifier: MIT
// Prints the code paths that each engine takes on this processor, for benchmark and test reports.
#include <cstdio>

#include "format_rows.h"
#include "scan_rows.h"

int main() {
  std::printf("formatted copy: %s; queue scans: %s\n", best_format_row()->name,
              best_scan_row()->name);
  return 0;
}
