// The recipient tallies: word-at-a-time counting for "-S", memchr scanning for "-B".
#include "tally.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t k_ones = 0x0101010101010101;
constexpr std::uint64_t k_low7 = 0x7f7f7f7f7f7f7f7f;

// 0x80 in every byte of `word` that is zero and 0 in every other byte. Exact: unlike the
// usual "has a zero byte" test it never flags a byte after a zero one.
constexpr std::uint64_t zero_bytes(std::uint64_t word) {
  return ~(((word & k_low7) + k_low7) | word | k_low7);
}

constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) {
  return zero_bytes(word ^ (k_ones * c));
}

// How many bytes of a zero_bytes() result are flagged: the multiplication adds the eight
// 0-or-1 bytes into the top one.
constexpr std::uint64_t flag_count(std::uint64_t flags) { return ((flags >> 7) * k_ones) >> 56; }

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
  const unsigned char* end = p + block.size();
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: records are about 26 bytes long, so a memchr per record spends
    // most of its time in call overhead, and a byte loop runs at about 1 GB/s. The flags of
    // one word give the NULs, the "D"s and the marks ("#" or NUL) before each byte at once.
    std::uint64_t carry = tally.after_mark ? 0x80 : 0;
    for (; end - p >= 8; p += 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      const std::uint64_t nul = zero_bytes(word);
      const std::uint64_t mark = nul | bytes_equal(word, '#');
      const std::uint64_t done_here = bytes_equal(word, 'D') & ((mark << 8) | carry);
      carry = mark >> 56;
      if (done_here != 0) {
        tally.done += flag_count(done_here);
        // The last "D" of the word: its ordinal is one more than the NULs before it.
        const int top = 63 - std::countl_zero(done_here);
        tally.last_done = tally.records + flag_count(nul & ((std::uint64_t{1} << top) - 1)) + 1;
      }
      tally.records += flag_count(nul);
    }
    tally.after_mark = carry != 0;
  }
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
