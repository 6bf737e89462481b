// Fuzz target for the two recipient tallies. The input picks how the file is cut into blocks;
// the rest is the file. Both tallies must give the counts of a plain byte-by-byte count
// written below from the rules, whatever the blocks.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "tally.h"

namespace {

struct DoneCounts {
  std::uint64_t done = 0, last_done = 0, records = 0;
};

DoneCounts reference_done(std::string_view list) {
  DoneCounts counts;
  char previous = '#';
  for (char c : list) {
    if (c == 'D' && (previous == '\0' || previous == '#')) {
      ++counts.done;
      counts.last_done = counts.records + 1;
    } else if (c == '\0') {
      ++counts.records;
    }
    previous = c;
  }
  return counts;
}

std::uint64_t reference_bounced(std::string_view report) {
  std::uint64_t count = 0;
  char older = '\0', previous = '\0';
  for (char c : report) {
    if (c == '\n' && previous == ':' && older == '>') ++count;
    older = previous;
    previous = c;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < 2 && size > 0; ++i, ++data, --size) state = state << 8 | *data;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  DoneTally done;
  BouncedTally bounced;
  for (std::size_t position = 0; position < text.size();) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::size_t block = (state >> 33) % 40;  // empty blocks too
    if (block > text.size() - position) block = text.size() - position;
    std::span<const char> part(text.data() + position, block);
    tally_done_recipients(done, part);
    tally_bounced_recipients(bounced, part);
    position += block;
  }

  DoneCounts expected = reference_done(text);
  if (done.done != expected.done || done.last_done != expected.last_done ||
      done.records != expected.records) {
    std::fprintf(stderr, "-S counts differ\n");
    std::abort();
  }
  if (bounced.count != reference_bounced(text)) {
    std::fprintf(stderr, "-B count differs\n");
    std::abort();
  }
  return 0;
}
