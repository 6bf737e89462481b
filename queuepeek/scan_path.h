// SPDX-License-Identifier: MIT
// The code paths of the queue scans: plain byte code, and vector code chosen at run time.
#pragma once

#include <cstdint>

/// One implementation of the tallies and the extraction. Every path gives the same answers;
/// they differ in the instructions they use.
enum class ScanPath : std::uint8_t {
  plain,  ///< byte code (with memchr), for every processor
  sse2,   ///< 16 bytes at once; x86 with SSE2 (every x86-64 processor)
  avx2,   ///< 32 bytes at once; x86 with AVX2
};

/// Every path, plainest first.
inline constexpr ScanPath k_scan_paths[] = {ScanPath::plain, ScanPath::sse2, ScanPath::avx2};

/// True when this build has `path` and this processor can run it.
bool scan_path_available(ScanPath path);

/// The fastest available path, worked out once per process.
ScanPath best_scan_path();

/// The path's name, for test reports.
const char* scan_path_name(ScanPath path);

// For the sources that define the vector paths. Vector code is compiled for its extension with
// a target attribute and run only where the processor has it, so that a build for processors
// without it (32-bit x86 without SSE2) still has it. The tallies' kernels are templates on the
// vector width, written with the compiler's generic vectors and inlined (KERNEL_CODE) into one
// function per path: the inlined code is compiled for that function's extension.
#if defined(__x86_64__) || defined(__i386__)
#define QUEUEPEEK_VECTOR_PATHS 1
#define SSE2_CODE __attribute__((target("sse2")))
#define AVX2_CODE __attribute__((target("avx2")))
#define KERNEL_CODE inline __attribute__((always_inline))
#endif
