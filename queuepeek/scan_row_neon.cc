// SPDX-License-Identifier: MIT
// The queue scans with NEON, which every arm64 processor has: 16 bytes at a time.
#include "simd_neon.h"

#include "scan_rows.h"

#ifdef SIMD_NEON
#define SCAN_TARGET
#include "scan_kernels.h"

namespace neon {
const ScanRow scan_row = VectorScan<simd::neon::Ops>::row("neon", 0);
}
#else
namespace neon {
const ScanRow scan_row = unavailable_scan_row("neon");
}
#endif
