// SPDX-License-Identifier: MIT
// Fuzz target for the two recipient tallies. The input picks how the file is cut into blocks;
// the rest is the file. Both tallies must give the counts of the plain byte-by-byte reference,
// whatever the blocks, on every row this processor runs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "queue_rules.h"
#include "tally.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < 2 && size > 0; ++i, ++data, --size) state = state << 8 | *data;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  const test_support::DoneCounts expected = test_support::reference_done(text);
  const std::uint64_t expected_bounced = test_support::reference_bounced(text);
  for (const ScanRow* row : scan_rows()) {
    if (!cpu_runs(row->needs)) continue;
    DoneTally done;
    BouncedTally bounced;
    done.row = row;
    bounced.row = row;
    std::uint64_t cuts = state;
    for (std::size_t position = 0; position < text.size();) {
      cuts = cuts * 6364136223846793005ULL + 1442695040888963407ULL;
      // Mostly short blocks (empty ones too), some long enough for whole vector groups.
      std::size_t block = (cuts >> 60) < 3 ? (cuts >> 33) % 9000 : (cuts >> 33) % 40;
      if (block > text.size() - position) block = text.size() - position;
      std::span<const char> part(text.data() + position, block);
      tally_done_recipients(done, part);
      tally_bounced_recipients(bounced, part);
      position += block;
    }
    if (done.done != expected.done || done.last_done != expected.last_done ||
        done.records != expected.records) {
      std::fprintf(stderr, "-S counts differ on the %s row\n", row->name);
      std::abort();
    }
    if (bounced.count != expected_bounced) {
      std::fprintf(stderr, "-B count differs on the %s row\n", row->name);
      std::abort();
    }
  }
  return 0;
}
