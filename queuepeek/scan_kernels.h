// SPDX-License-Identifier: MIT
// The vector kernels of the queue scans, written once over simd::ByteVectorOps. Each row's
// source that includes this header compiles them for one instruction set: it defines
// SCAN_TARGET (its target attribute) first, then makes its row with VectorScan.
#pragma once

#ifndef SCAN_TARGET
#error "define SCAN_TARGET before including scan_kernels.h"
#endif

#include <cstddef>
#include <cstdint>

#include "cpu_features.h"
#include "scan_rows.h"
#include "simd.h"
#include "tally.h"

// Inlined into the row's entries, so that each is one loop compiled for its instruction set.
#define SCAN_KERNEL SCAN_TARGET inline __attribute__((always_inline))

namespace {

// Records are about 26 bytes long and reports hold a ">" every 60 bytes or so: a memchr per
// record or per ">" spends most of its time in call overhead. The tallies instead turn each
// vector into flags (0xFF per byte, from comparisons) and subtract them from per-byte counters,
// with no branch that depends on the data. 255 vectors at most between two sums, so that no
// per-byte counter overflows.
constexpr std::ptrdiff_t k_rounds = 255;

// The width as a distance between pointers: compared with one, an unsigned width would make
// the comparison unsigned where ptrdiff_t is int (32-bit x86).
template <simd::ByteVectorOps V>
constexpr std::ptrdiff_t k_width = V::width;

// The end of the next group of whole vectors from p: at most k_rounds of them. One bound per
// group keeps the inner loops to a single test.
template <simd::ByteVectorOps V>
SCAN_KERNEL const unsigned char* group_end_of(const unsigned char* p, const unsigned char* end) {
  const std::ptrdiff_t vectors = (end - p) / k_width<V>;
  return p + k_width<V> * (vectors < k_rounds ? vectors : k_rounds);
}

// The NUL bytes in [p, end).
template <simd::ByteVectorOps V>
SCAN_KERNEL std::uint64_t count_nuls(const unsigned char* p, const unsigned char* const end) {
  const typename V::Vec zero = V::splat(0);
  std::uint64_t total = 0;
  while (end - p >= k_width<V>) {
    typename V::Vec counts = zero;
    for (const unsigned char* const group_end = group_end_of<V>(p, end); p < group_end;
         p += V::width)
      counts = V::count(counts, V::eq(V::load(p), zero));
    total += V::sum_bytes(counts);
  }
  for (; p < end; ++p) total += *p == 0;
  return total;
}

// "-S": each vector gives its counted "D"s (a "D" whose previous byte, loaded one byte earlier,
// is NUL or "#"), and the NULs of those previous bytes, whose comparison the marks need anyway:
// three comparisons a vector rather than four. Only the last group of vectors with a counted
// "D" is remembered: last_done is worked out once, at the end, from the last such "D" in it.
template <simd::ByteVectorOps V>
SCAN_KERNEL void tally_done_vectors(DoneTally& tally, const unsigned char* p,
                                    const unsigned char* const end) {
  const typename V::Vec zero = V::splat(0);
  const typename V::Vec hash = V::splat('#');
  const typename V::Vec letter = V::splat('D');
  const unsigned char* const start = p;
  std::uint64_t nuls = 0;
  std::uint64_t dones = 0;
  const unsigned char* last_group_end = nullptr;
  while (end - p >= k_width<V>) {
    typename V::Vec nul_counts = zero;
    typename V::Vec done_counts = zero;
    for (const unsigned char* const group_end = group_end_of<V>(p, end); p < group_end;
         p += V::width) {
      const typename V::Vec previous = V::load(p - 1);
      const typename V::Mask nul = V::eq(previous, zero);
      nul_counts = V::count(nul_counts, nul);
      const typename V::Mask marked = V::mask_or(nul, V::eq(previous, hash));
      done_counts = V::count(done_counts, V::mask_and(V::eq(V::load(p), letter), marked));
    }
    nuls += V::sum_bytes(nul_counts);
    const std::uint64_t group_dones = V::sum_bytes(done_counts);
    if (group_dones != 0) {
      dones += group_dones;
      last_group_end = p;
    }
  }
  // The NULs counted are those of [start - 1, p - 1): the byte before start is not in this
  // span, the last one of it is.
  if (p != start) nuls = nuls + (p[-1] == 0) - (start[-1] == 0);
  tally.records += nuls;
  tally.done += dones;
  if (last_group_end != nullptr) {
    // Its ordinal is one more than the records ended before it: all records so far less the
    // NULs after it.
    const unsigned char* d = last_group_end - 1;
    while (!(*d == 'D' && (d[-1] == 0 || d[-1] == '#'))) --d;
    tally.last_done = tally.records - count_nuls<V>(d + 1, p) + 1;
  }
  tally.after_mark = p[-1] == 0 || p[-1] == '#';
  tally_done_bytes(tally, p, end);
}

// "-B": the sequences that end in [p, end).
template <simd::ByteVectorOps V>
SCAN_KERNEL std::uint64_t count_sequences_vectors(const unsigned char* p,
                                                  const unsigned char* const end) {
  const typename V::Vec newline = V::splat('\n');
  const typename V::Vec colon = V::splat(':');
  const typename V::Vec angle = V::splat('>');
  std::uint64_t total = 0;
  while (end - p >= k_width<V>) {
    typename V::Vec counts = V::splat(0);
    // Two vectors a turn: callgrind counts 15 % fewer instructions for -B (and more for -S).
#pragma GCC unroll 2
    for (const unsigned char* const group_end = group_end_of<V>(p, end); p < group_end;
         p += V::width) {
      const typename V::Mask ends = V::mask_and(V::eq(V::load(p), newline),
                                                V::eq(V::load(p - 1), colon));
      counts = V::count(counts, V::mask_and(ends, V::eq(V::load(p - 2), angle)));
    }
    total += V::sum_bytes(counts);
  }
  return total + (p < end ? count_sequences_plain(p, end) : 0);
}

// "-D": see ScanRow::event_masks.
template <simd::ByteVectorOps V>
SCAN_KERNEL void event_masks_vectors(const char* text, std::size_t count, EventMask* masks) {
  static_assert(k_event_span % V::width == 0);
  const typename V::Vec newline = V::splat('\n');
  const typename V::Vec colon = V::splat(':');
  const typename V::Vec angle = V::splat('>');
  const typename V::Vec zero = V::splat(0);
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  constexpr unsigned parts = k_event_span / V::width;
  for (std::size_t k = 0; k < count; ++k, p += k_event_span) {
    typename V::Mask events[parts];
    for (unsigned part = 0; part < parts; ++part) {
      const unsigned char* q = p + V::width * part;
      const typename V::Vec previous = V::load(q - 1);
      const typename V::Mask after_mark =
          V::mask_or(V::mask_and(V::eq(previous, colon), V::eq(V::load(q - 2), angle)),
                     V::eq(previous, newline));
      const typename V::Vec bytes = V::load(q);
      events[part] = V::mask_or(V::eq(bytes, zero), V::mask_and(V::eq(bytes, newline), after_mark));
    }
    EventMask mask = 0;
    if constexpr (simd::FourMaskBits<V> && parts == 4) {
      mask = static_cast<EventMask>(V::bits(events[0], events[1], events[2], events[3]));
    } else {
      for (unsigned part = 0; part < parts; ++part)
        mask |= static_cast<EventMask>(V::bits(events[part])) << (V::width * part);
    }
    masks[k] = mask;
  }
}

// The entries of a row over the operations V, each one loop compiled for SCAN_TARGET, and the
// row that holds them.
template <simd::ByteVectorOps V>
struct VectorScan {
  SCAN_TARGET static void tally_done(DoneTally& tally, const unsigned char* p,
                                     const unsigned char* end) {
    tally_done_vectors<V>(tally, p, end);
  }
  SCAN_TARGET static std::uint64_t count_sequences(const unsigned char* p,
                                                   const unsigned char* end) {
    return count_sequences_vectors<V>(p, end);
  }
  SCAN_TARGET static void event_masks(const char* p, std::size_t count, EventMask* masks) {
    event_masks_vectors<V>(p, count, masks);
  }
  static constexpr ScanRow row(const char* name, CpuFeatures needs) {
    return {name, needs, tally_done, count_sequences, event_masks};
  }
};

}  // namespace
