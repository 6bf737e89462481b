// SPDX-License-Identifier: MIT
// The recipient tallies: byte code, and vector code of 16 or 32 bytes chosen at run time.
#include "tally.h"

#include <cstring>

#include "fd_io.h"

namespace {

void tally_done_bytes(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  for (; p < end; ++p) {
    if (*p == 'D' && tally.after_mark) {
      ++tally.done;
      tally.last_done = tally.records + 1;
    } else if (*p == 0) {
      ++tally.records;
    }
    tally.after_mark = *p == 0 || *p == '#';
  }
}

// The ">", ":", newline sequences that lie wholly in [p, end). ">" is the rarest of the three
// bytes in real reports (about one per recipient), so memchr runs over long stretches.
std::uint64_t count_sequences_bytes(const char* p, const char* end) {
  std::uint64_t count = 0;
  if (end - p < 3) return 0;
  const char* const last = end - 2;
  for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '>', last - q))); ++q)
    if (q[1] == ':' && q[2] == '\n') ++count;
  return count;
}

#ifdef QUEUEPEEK_VECTOR_PATHS

// Records are about 26 bytes long and reports hold a ">" every 60 bytes or so: a memchr per
// record or per ">" spends most of its time in call overhead. The vector kernels instead turn
// each N bytes into flags (0 or 1 per byte, from comparisons) and add them up per byte, with
// no branch that depends on the data. Vectors are loaded through memcpy and never passed by
// value: no alignment needed, and no calling convention that differs between extensions.
template <int N>
struct Vectors {
  typedef unsigned char Bytes __attribute__((vector_size(N)));
};

// 255 vectors at most between two sums, so that no per-byte counter overflows.
constexpr std::ptrdiff_t k_rounds = 255;

// The end of the next group of whole vectors from p: at most k_rounds of them. One bound per
// group keeps the inner loops to a single test.
template <int N>
KERNEL_CODE const unsigned char* group_end_of(const unsigned char* p, const unsigned char* end) {
  const std::ptrdiff_t vectors = (end - p) / N;
  return p + N * (vectors < k_rounds ? vectors : k_rounds);
}

template <int N>
KERNEL_CODE std::uint64_t sum_bytes(const typename Vectors<N>::Bytes& counts) {
  std::uint64_t total = 0;
  for (int i = 0; i < N; ++i) total += counts[i];
  return total;
}

// The NUL bytes in [p, end).
template <int N>
KERNEL_CODE std::uint64_t count_nuls(const unsigned char* p, const unsigned char* const end) {
  using Bytes = typename Vectors<N>::Bytes;
  std::uint64_t total = 0;
  while (end - p >= N) {
    Bytes counts{};
    for (const unsigned char* const group_end = group_end_of<N>(p, end); p < group_end; p += N) {
      Bytes bytes;
      std::memcpy(&bytes, p, sizeof bytes);
      counts -= reinterpret_cast<Bytes>(bytes == 0);
    }
    total += sum_bytes<N>(counts);
  }
  for (; p < end; ++p) total += *p == 0;
  return total;
}

// "-S" over [p, end), where p[-1] is readable and tally.after_mark tells about it. Each N bytes
// give their NULs and their counted "D"s (a "D" whose previous byte, loaded one byte earlier,
// is NUL or "#"). Only the last group of vectors with a counted "D" is remembered: last_done
// is worked out once, at the end, from the last such "D" in it.
template <int N>
KERNEL_CODE void tally_done_vectors(DoneTally& tally, const unsigned char* p,
                                    const unsigned char* const end) {
  using Bytes = typename Vectors<N>::Bytes;
  std::uint64_t nuls = 0;
  std::uint64_t dones = 0;
  const unsigned char* last_group_end = nullptr;
  while (end - p >= N) {
    Bytes nul_counts{};
    Bytes done_counts{};
    for (const unsigned char* const group_end = group_end_of<N>(p, end); p < group_end; p += N) {
      Bytes bytes;
      Bytes previous;
      std::memcpy(&bytes, p, sizeof bytes);
      std::memcpy(&previous, p - 1, sizeof previous);
      nul_counts -= reinterpret_cast<Bytes>(bytes == 0);
      done_counts -=
          reinterpret_cast<Bytes>((bytes == 'D') & ((previous == 0) | (previous == '#')));
    }
    nuls += sum_bytes<N>(nul_counts);
    const std::uint64_t group_dones = sum_bytes<N>(done_counts);
    if (group_dones != 0) {
      dones += group_dones;
      last_group_end = p;
    }
  }
  tally.records += nuls;
  tally.done += dones;
  if (last_group_end != nullptr) {
    // Its ordinal is one more than the records ended before it: all records so far less the
    // NULs after it.
    const unsigned char* d = last_group_end - 1;
    while (!(*d == 'D' && (d[-1] == 0 || d[-1] == '#'))) --d;
    tally.last_done = tally.records - count_nuls<N>(d + 1, p) + 1;
  }
  tally.after_mark = p[-1] == 0 || p[-1] == '#';
  tally_done_bytes(tally, p, end);
}

// "-B": the sequences that end in [p, end), where p[-2] and p[-1] are readable.
template <int N>
KERNEL_CODE std::uint64_t count_sequences_vectors(const unsigned char* p,
                                                  const unsigned char* const end) {
  using Bytes = typename Vectors<N>::Bytes;
  std::uint64_t total = 0;
  while (end - p >= N) {
    Bytes counts{};
    // Two vectors a turn: callgrind counts 15 % fewer instructions for -B (and more for -S).
#pragma GCC unroll 2
    for (const unsigned char* const group_end = group_end_of<N>(p, end); p < group_end; p += N) {
      Bytes bytes;
      Bytes colon;
      Bytes angle;
      std::memcpy(&bytes, p, sizeof bytes);
      std::memcpy(&colon, p - 1, sizeof colon);
      std::memcpy(&angle, p - 2, sizeof angle);
      counts -= reinterpret_cast<Bytes>((bytes == '\n') & (colon == ':') & (angle == '>'));
    }
    total += sum_bytes<N>(counts);
  }
  for (; p < end; ++p) total += p[0] == '\n' && p[-1] == ':' && p[-2] == '>';
  return total;
}

SSE2_CODE void tally_done_sse2(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<16>(tally, p, end);
}

AVX2_CODE void tally_done_avx2(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
  tally_done_vectors<32>(tally, p, end);
}

SSE2_CODE std::uint64_t count_sequences_sse2(const unsigned char* p, const unsigned char* end) {
  return count_sequences_vectors<16>(p, end);
}

AVX2_CODE std::uint64_t count_sequences_avx2(const unsigned char* p, const unsigned char* end) {
  return count_sequences_vectors<32>(p, end);
}

#endif  // QUEUEPEEK_VECTOR_PATHS

// Reads `fd` to its end into `block`, passing each part read to `add`.
template <typename Tally>
int tally_file(int fd, std::span<char> block, Tally& tally,
               void (*add)(Tally&, std::span<const char>)) {
  for (;;) {
    const ssize_t n = read_retrying(fd, block.data(), block.size());
    if (n <= 0) return n < 0 ? -1 : 0;
    add(tally, {block.data(), static_cast<std::size_t>(n)});
  }
}

}  // namespace

void tally_done_recipients(DoneTally& tally, std::span<const char> block) {
  const auto* p = reinterpret_cast<const unsigned char*>(block.data());
  const unsigned char* const end = p + block.size();
  if (p == end) return;
  // The first byte's previous byte is in the carried state; every later one is in the block.
  tally_done_bytes(tally, p, p + 1);
  switch (tally.path) {
#ifdef QUEUEPEEK_VECTOR_PATHS
    case ScanPath::avx2:
      tally_done_avx2(tally, p + 1, end);
      return;
    case ScanPath::sse2:
      tally_done_sse2(tally, p + 1, end);
      return;
#endif
    default:
      tally_done_bytes(tally, p + 1, end);
      return;
  }
}

void tally_bounced_recipients(BouncedTally& tally, std::span<const char> block) {
  const char* p = block.data();
  const std::size_t n = block.size();
  if (n == 0) return;
  // Sequences whose ">" is one of the two bytes carried from the previous block.
  if (tally.previous[0] == '>' && tally.previous[1] == ':' && p[0] == '\n') ++tally.count;
  if (n >= 2 && tally.previous[1] == '>' && p[0] == ':' && p[1] == '\n') ++tally.count;
  // Sequences that start in this block and end in it.
  if (n >= 3) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    switch (tally.path) {
#ifdef QUEUEPEEK_VECTOR_PATHS
      case ScanPath::avx2:
        tally.count += count_sequences_avx2(bytes + 2, bytes + n);
        break;
      case ScanPath::sse2:
        tally.count += count_sequences_sse2(bytes + 2, bytes + n);
        break;
#endif
      default:
        tally.count += count_sequences_bytes(p, p + n);
        break;
    }
  }
  if (n >= 2) {
    tally.previous[0] = p[n - 2];
  } else {
    tally.previous[0] = tally.previous[1];
  }
  tally.previous[1] = p[n - 1];
}

int tally_done_file(int fd, std::span<char> block, DoneTally& tally) {
  return tally_file(fd, block, tally, tally_done_recipients);
}

int tally_bounced_file(int fd, std::span<char> block, BouncedTally& tally) {
  return tally_file(fd, block, tally, tally_bounced_recipients);
}
