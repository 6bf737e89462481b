// SPDX-License-Identifier: MIT
// Which scan path this processor runs.
#include "scan_path.h"

#include "cpu_features.h"

bool scan_path_available(ScanPath path) {
  switch (path) {
    case ScanPath::plain:
      return true;
#ifdef QUEUEPEEK_VECTOR_PATHS
    case ScanPath::sse2:
      return cpu_features().sse2;
    case ScanPath::avx2:
      return cpu_features().avx2;
#else
    case ScanPath::sse2:
    case ScanPath::avx2:
      return false;
#endif
  }
  return false;
}

ScanPath best_scan_path() {
  static const ScanPath best = scan_path_available(ScanPath::avx2)   ? ScanPath::avx2
                               : scan_path_available(ScanPath::sse2) ? ScanPath::sse2
                                                                     : ScanPath::plain;
  return best;
}

const char* scan_path_name(ScanPath path) {
  switch (path) {
    case ScanPath::plain:
      return "plain";
    case ScanPath::sse2:
      return "SSE2";
    case ScanPath::avx2:
      return "AVX2";
  }
  return "?";
}
