// SPDX-License-Identifier: MIT
// Prints the code paths that each engine takes on this processor, for benchmark and test reports.
#include <cstdio>

#include "format_copy.h"
#include "scan_rows.h"

int main() {
  // In the order of FormatPath.
  static const char* const k_format_path_names[] = {"scalar", "sse2", "ssse3", "avx2", "avx512"};
  std::printf("formatted copy: %s; queue scans: %s\n",
              k_format_path_names[static_cast<int>(best_format_path())], best_scan_row()->name);
  return 0;
}
