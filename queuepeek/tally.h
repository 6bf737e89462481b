// SPDX-License-Identifier: MIT
// The recipient tallies of queuepeek: engines that count over blocks of a queue file.
#pragma once

#include <cstdint>
#include <span>

#include "scan_rows.h"

/// Counts of a remote-delivery list ("-S"), carried from one block of the file to the next.
/// Every counter is 64-bit, so a list of more than 2^31 records is counted exactly on 32-bit
/// builds too.
struct DoneTally {
  std::uint64_t done = 0;       ///< records whose state letter "D" follows a NUL or "#"
  std::uint64_t last_done = 0;  ///< 1-based ordinal of the last such record, 0 when none
  std::uint64_t records = 0;    ///< NUL bytes seen, that is records ended
  /// The byte before the next block is a NUL or "#". True before the first byte: a "D" at
  /// the very start of the list counts.
  bool after_mark = true;
  const ScanRow* row = best_scan_row();  ///< the code that counts the blocks
};

/// Adds the bytes of `block`, the next part of a remote-delivery list, to `tally`. A "D" whose
/// previous byte (possibly the last one of the previous block) is a NUL or "#" adds one to
/// `done` and sets `last_done` to `records` + 1; every NUL adds one to `records`. Feeding a list
/// in blocks of any sizes gives the counts of feeding it whole, on every row; tally.row must be
/// one this processor runs.
void tally_done_recipients(DoneTally& tally, std::span<const char> block);

/// Count of a bounce report ("-B"), carried from one block of the file to the next.
struct BouncedTally {
  std::uint64_t count = 0;    ///< ">", ":", newline sequences seen
  char previous[2] = {0, 0};  ///< the last two bytes before the next block, older first
  const ScanRow* row = best_scan_row();  ///< the code that counts the blocks
};

/// Adds to `tally` every ">", ":", newline sequence that ends in `block`, the next part of a
/// bounce report, including those that begin in the previous blocks. The same on every row
/// this processor runs.
void tally_bounced_recipients(BouncedTally& tally, std::span<const char> block);

/// Reads `fd` to its end in reads of at most `block.size()` bytes into `block` and adds every
/// byte to `tally`. Returns 0, or -1 with errno set when a read failed: the counts then cover
/// only part of the file.
[[nodiscard]] int tally_done_file(int fd, std::span<char> block, DoneTally& tally);

/// The same for a bounce report and tally_bounced_recipients().
[[nodiscard]] int tally_bounced_file(int fd, std::span<char> block, BouncedTally& tally);
