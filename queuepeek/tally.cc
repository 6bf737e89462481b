// SPDX-License-Identifier: MIT
// The recipient tallies: the carried bytes and the read loop around the chosen row's kernels.
#include "tally.h"

#include "fd_io.h"

namespace {

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
  if (block.empty()) return;
  // The first byte's previous byte is in the carried state; every later one is in the block.
  tally_done_bytes(tally, p, p + 1);
  tally.row->tally_done(tally, p + 1, p + block.size());
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
    tally.count += tally.row->count_sequences(bytes + 2, bytes + n);
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
