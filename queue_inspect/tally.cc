// The recipient tallies: vector counting for "-S", memchr scanning for "-B".
#include "tally.h"

#include <cstring>

namespace {

// Sixteen bytes at once. GCC lowers these to SSE2 on x86-64 and to plain integer code where
// there is no vector unit, so the result never depends on the machine.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));
typedef signed char Flags16 __attribute__((vector_size(16)));
typedef std::uint64_t Words2 __attribute__((vector_size(16)));

Bytes16 load16(const unsigned char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Adds the per-byte counters of `counts` (each below 256) into `total`.
void fold(Bytes16& counts, std::uint64_t& total) {
  for (int i = 0; i < 16; ++i) total += counts[i];
  counts = Bytes16{};
}

void tally_bytes(DoneTally& tally, const unsigned char* p, const unsigned char* end) {
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

}  // namespace

void tally_done_recipients(DoneTally& tally, std::span<const char> block) {
  const auto* p = reinterpret_cast<const unsigned char*>(block.data());
  const unsigned char* const end = p + block.size();
  if (p == end) return;
  // The first byte's previous byte is in the carried state; every later one is in the block.
  tally_bytes(tally, p, p + 1);
  ++p;

  // Records are about 26 bytes long: a memchr per record spends most of its time in call
  // overhead, and a byte loop measured 1 GB/s. Here each 16 bytes give their NULs and their
  // counted "D"s (a "D" whose previous byte, loaded one byte earlier, is NUL or "#") as flags
  // that are summed per byte. Only the position of the last counted "D" is kept: last_done
  // is worked out from it once, at the end of the block.
  std::uint64_t nuls = 0;
  std::uint64_t dones = 0;
  const unsigned char* last_vector = nullptr;  // the last 16 bytes with a counted "D"
  while (end - p >= 16) {
    Bytes16 nul_counts{};
    Bytes16 done_counts{};
    // 255 rounds at most, so that no per-byte counter overflows before fold().
    for (int round = 0; round < 255 && end - p >= 16; ++round, p += 16) {
      const Bytes16 bytes = load16(p);
      const Bytes16 previous = load16(p - 1);
      const Flags16 nul = bytes == 0;
      const Flags16 done = (bytes == 'D') & ((previous == 0) | (previous == '#'));
      nul_counts -= reinterpret_cast<Bytes16>(nul);
      done_counts -= reinterpret_cast<Bytes16>(done);
      const Words2 done_words = reinterpret_cast<Words2>(done);
      if ((done_words[0] | done_words[1]) != 0) last_vector = p;
    }
    fold(nul_counts, nuls);
    fold(done_counts, dones);
  }
  tally.records += nuls;
  tally.done += dones;
  if (last_vector != nullptr) {
    // The last counted "D" of that vector; its ordinal is one more than the records ended
    // before it, that is all records so far less the NULs after it.
    const unsigned char* d = last_vector + 15;
    while (!(*d == 'D' && (d[-1] == 0 || d[-1] == '#'))) --d;
    std::uint64_t nuls_after = 0;
    for (const unsigned char* q = d + 1; q < p; ++q) nuls_after += *q == 0;
    tally.last_done = tally.records - nuls_after + 1;
  }
  tally.after_mark = p[-1] == 0 || p[-1] == '#';
  tally_bytes(tally, p, end);
}

void tally_bounced_recipients(BouncedTally& tally, std::span<const char> block) {
  const char* p = block.data();
  const std::size_t n = block.size();
  if (n == 0) return;
  // Sequences whose ">" is one of the two bytes carried from the previous block.
  if (tally.previous[0] == '>' && tally.previous[1] == ':' && p[0] == '\n') ++tally.count;
  if (n >= 2 && tally.previous[1] == '>' && p[0] == ':' && p[1] == '\n') ++tally.count;
  // Sequences that start in this block and end in it. A ">" in the last two bytes is carried
  // and checked by the next block. ">" is the rarest of the three bytes in real reports
  // (about one per recipient), so memchr runs over long stretches.
  if (n >= 3) {
    const char* end = p + n - 2;
    for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '>', end - q))); ++q)
      if (q[1] == ':' && q[2] == '\n') ++tally.count;
  }
  if (n >= 2) {
    tally.previous[0] = p[n - 2];
  } else {
    tally.previous[0] = tally.previous[1];
  }
  tally.previous[1] = p[n - 1];
}
