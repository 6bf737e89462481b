// SPDX-License-Identifier: MIT
// The queue scans with AVX2: 32 bytes at a time.
#include "simd_avx2.h"

#include "scan_rows.h"

#ifdef SIMD_X86
#define SCAN_TARGET SIMD_AVX2
#include "scan_kernels.h"

namespace avx2 {
const ScanRow scan_row = VectorScan<simd::avx2::Ops>::row("avx2", cpu::sse2 | cpu::avx2);
}
#else
namespace avx2 {
const ScanRow scan_row = unavailable_scan_row("avx2");
}
#endif
