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
/// a namespace named after it (simd::sse2, simd::avx2, simd::word), so that profiles and
/// failures name it; its functions carry the set's target attribute and have internal linkage,
/// so that the linker can never hand a caller on an older processor a copy built for a wider
/// set.
///
/// A comparison gives a Mask: which bytes it holds for. Each set keeps masks its own way, the
/// way its instructions give them: 0xFF bytes in a vector (SSE2, AVX2, NEON), a bit per byte in
/// a mask register (AVX-512), the top bit of each byte of a general register (word). Masks
/// combine with the mask_ operations, become a bit per byte with `bits`, and count with
/// `count`; nothing else may look inside one.
template <class V>
concept ByteVectorOps = requires(const unsigned char* p, char* out, typename V::Vec a,
                                 typename V::Vec b, typename V::Mask m, typename V::Mask n,
                                 char c) {
  requires std::same_as<decltype(V::width), const unsigned>;
  { V::load(p) } -> std::same_as<typename V::Vec>;            ///< `width` bytes, unaligned
  { V::store(out, a) } -> std::same_as<void>;                 ///< `width` bytes, unaligned
  { V::splat(c) } -> std::same_as<typename V::Vec>;           ///< `c` in every byte
  { V::add(a, b) } -> std::same_as<typename V::Vec>;          ///< byte by byte, wrapping
  { V::bit_and(a, b) } -> std::same_as<typename V::Vec>;
  { V::eq(a, b) } -> std::same_as<typename V::Mask>;          ///< the bytes that are equal
  { V::lt(a, b) } -> std::same_as<typename V::Mask>;          ///< where a's is less, signed
  { V::mask_and(m, n) } -> std::same_as<typename V::Mask>;
  { V::mask_or(m, n) } -> std::same_as<typename V::Mask>;
  { V::mask_and_not(m, n) } -> std::same_as<typename V::Mask>;  ///< n without the bytes of m
  { V::bits(m) } -> std::same_as<std::uint64_t>;              ///< bit i set where m holds byte i
  { V::any(m) } -> std::same_as<bool>;                        ///< m holds a byte: bits(m) != 0
  /// a + 1 in the bytes m holds, each of which must be below 0xFF
  { V::count(a, m) } -> std::same_as<typename V::Vec>;
  { V::sum_bytes(a) } -> std::same_as<std::uint64_t>;         ///< the bytes' unsigned sum
};

/// A set whose bits() takes several instructions (NEON has no movemask) may also give the bits
/// of four masks at once: bits(m0, m1, m2, m3) has bit i set where their bytes, m0's first,
/// hold byte i. The kernels that want 64 bits take it where four vectors make them.
template <class V>
concept FourMaskBits = ByteVectorOps<V> && requires(typename V::Mask m) {
  { V::bits(m, m, m, m) } -> std::same_as<std::uint64_t>;
};

}  // namespace simd
