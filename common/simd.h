// SPDX-License-Identifier: MIT
// The vocabulary of the vector paths: what every instruction set's byte-vector operations
// provide, so that each algorithm is written once over it.
#pragma once

#include <concepts>
#include <cstdint>

// x86 vector paths are built when the build asks for vector paths (the CMake option
// QUILLWORKS_VECTOR_PATHS) and the target is x86, 32-bit or 64-bit: 32-bit x86 checks for
// SSE2 at run time like every other extension.
#if QUILLWORKS_VECTOR_PATHS && (defined(__x86_64__) || defined(__i386__))
#define SIMD_X86 1
#endif

namespace simd {

/// What an instruction set's operations on vectors of `width` bytes provide. Each set lives in
/// a namespace named after it (simd::sse2, simd::avx2), so that profiles and failures name it;
/// its functions carry the set's target attribute and have internal linkage, so that the
/// linker can never hand a caller on an older processor a copy built for a wider set. Vec is
/// the compiler's vector of unsigned char, with intrinsics only where it has no operator: with
/// __m128i or __m256i (vectors of 64-bit lanes) the casts around each byte operation made the
/// compiler copy the -S loop's counters at every step, 13 instructions a vector instead of 11.
template <class V>
concept ByteVectorOps = requires(const unsigned char* p, char* out, typename V::Vec a,
                                 typename V::Vec b, char c) {
  requires std::same_as<decltype(V::width), const unsigned>;
  { V::load(p) } -> std::same_as<typename V::Vec>;            ///< `width` bytes, unaligned
  { V::store(out, a) } -> std::same_as<void>;                 ///< `width` bytes, unaligned
  { V::splat(c) } -> std::same_as<typename V::Vec>;           ///< `c` in every byte
  { V::eq(a, b) } -> std::same_as<typename V::Vec>;           ///< 0xFF where bytes are equal
  { V::lt(a, b) } -> std::same_as<typename V::Vec>;           ///< 0xFF where a's is less, signed
  { V::bit_and(a, b) } -> std::same_as<typename V::Vec>;
  { V::bit_or(a, b) } -> std::same_as<typename V::Vec>;
  { V::bit_xor(a, b) } -> std::same_as<typename V::Vec>;
  { V::and_not(a, b) } -> std::same_as<typename V::Vec>;      ///< b without the bits of a
  { V::sub(a, b) } -> std::same_as<typename V::Vec>;          ///< byte by byte, wrapping
  { V::bits(a) } -> std::same_as<std::uint64_t>;              ///< top bit of byte i as bit i
  { V::sum_bytes(a) } -> std::same_as<std::uint64_t>;         ///< the bytes' unsigned sum
};

}  // namespace simd
