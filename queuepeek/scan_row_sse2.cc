// SPDX-License-Identifier: MIT
// The queue scans with SSE2: 16 bytes at a time.
#include "simd_sse2.h"

#include "scan_rows.h"

#ifdef SIMD_X86
#define SCAN_TARGET SIMD_SSE2
#include "scan_kernels.h"

namespace sse2 {
const ScanRow scan_row = VectorScan<simd::sse2::Ops>::row("sse2", cpu::sse2);
}
#else
namespace sse2 {
const ScanRow scan_row = unavailable_scan_row("sse2");
}
#endif
