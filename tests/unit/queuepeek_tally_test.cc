// SPDX-License-Identifier: MIT
// The "-S" and "-B" tallies: documented cases, any block split, 64-bit counters.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "memory_file.h"
#include "queue_rules.h"
#include "row_support.h"
#include "tally.h"

namespace test_support {

std::ostream& operator<<(std::ostream& os, const DoneCounts& d) {
  return os << d.done << ":" << d.last_done << ":" << d.records;
}

}  // namespace test_support

namespace {

using namespace std::string_literals;

using test_support::DoneCounts;
using test_support::reference_bounced;
using test_support::reference_done;

DoneCounts done_in_blocks(const std::string& bytes, std::size_t block,
                          const ScanRow* row = best_scan_row()) {
  DoneTally tally;
  tally.row = row;
  for (std::size_t at = 0; at < bytes.size(); at += block)
    tally_done_recipients(tally, {bytes.data() + at, std::min(block, bytes.size() - at)});
  return {tally.done, tally.last_done, tally.records};
}

std::uint64_t bounced_in_blocks(const std::string& bytes, std::size_t block,
                                const ScanRow* row = best_scan_row()) {
  BouncedTally tally;
  tally.row = row;
  for (std::size_t at = 0; at < bytes.size(); at += block)
    tally_bounced_recipients(tally, {bytes.data() + at, std::min(block, bytes.size() - at)});
  return tally.count;
}

std::string random_bytes(std::size_t length, const std::string& alphabet, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) bytes += alphabet[pick(generator)];
  return bytes;
}

TEST(DoneTally, DocumentedLists) {
  struct Case {
    std::string bytes;
    DoneCounts expected;
  };
  const std::vector<Case> cases = {
      {"Ta@x\0Db@y\0Tc@z\0Dd@w\0"s, {2, 4, 4}},
      {"Da@x\0"s, {1, 1, 1}},
      {""s, {0, 0, 0}},
      {"Ta\0T#Dx\0"s, {1, 2, 2}},  // a "D" after "#" counts anywhere
      {"Da@x"s, {1, 1, 0}},        // no NUL: no record ended, the "D" still counts
      {"DD\0"s, {1, 1, 1}},        // the second "D" follows a "D"
      {"\0\0D\0"s, {1, 3, 3}},     // empty records count
      {"T\0D"s, {1, 2, 1}},        // the last record lacks its NUL
      {"##D#D\0"s, {2, 1, 1}},
      {"Dok1@a.test\0Drej1@a.test\0Tdefer1@b.test\0"s, {2, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(done_in_blocks(c.bytes, c.bytes.size() + 1), c.expected);
  }
}

TEST(DoneTally, AnyBlockSizeGivesTheWholeListsCounts) {
  // Long enough for many eight-byte words, with every byte the rule looks at.
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::string bytes = random_bytes(301, "DDTT#\0x"s, seed);
    const DoneCounts expected = reference_done(bytes);
    for (std::size_t block = 1; block <= 40; ++block) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " block " + std::to_string(block));
      ASSERT_EQ(done_in_blocks(bytes, block), expected);
    }
  }
}

TEST(DoneTally, LongBlocksGiveTheWholeListsCounts) {
  // Blocks of thousands of bytes: the per-byte sums are folded every 4080 bytes.
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::string bytes = random_bytes(20000, "DTT#\0xxxxxx"s, seed);
    // The only counted "D" early in the list: the records after it are many.
    std::string early = "Da\0" + std::string(9000, '\0') + std::string(9000, 'T');
    for (const std::string* list : {&bytes, &early}) {
      const DoneCounts expected = reference_done(*list);
      for (std::size_t block : {20000, 4081, 4080, 4079, 1000}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " block " + std::to_string(block));
        ASSERT_EQ(done_in_blocks(*list, block), expected);
      }
    }
  }
}

TEST(DoneTally, CarriesTheMarkAcrossBlocks) {
  DoneTally tally;
  tally_done_recipients(tally, {"Tx\0", 3});
  EXPECT_TRUE(tally.after_mark);
  tally_done_recipients(tally, {"Dy", 2});
  EXPECT_EQ(tally.done, 1u);
  EXPECT_EQ(tally.last_done, 2u);
  EXPECT_FALSE(tally.after_mark);
}

TEST(DoneTally, CountersPass32Bits) {
  // A list of more than 2^32 records, continued from counts its first part would leave.
  DoneTally tally;
  tally.records = 0xffffffffu;
  tally.done = 0xfffffffeu;
  tally.after_mark = true;
  const std::string rest = "Da\0Tb\0Dc\0"s;
  tally_done_recipients(tally, {rest.data(), rest.size()});
  EXPECT_EQ(tally.records, 0x100000002u);
  EXPECT_EQ(tally.done, 0x100000000u);
  EXPECT_EQ(tally.last_done, 0x100000002u);
}

TEST(BouncedTally, DocumentedReports) {
  struct Case {
    std::string bytes;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"<a@x>:\nreason one\n\n<b@y>:\nreason two\n\n", 2},
      {">:\n>:>:\n", 2},
      {"", 0},
      {"<a@x>:\r\nreason\n", 0},               // a CR in between: no match
      {"<a@x>:\nRemote said: <v@w>:\n\n", 2},  // every ">:" newline counts
      {">:", 0},
      {":\n>\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(bounced_in_blocks(c.bytes, c.bytes.size() + 1), c.expected);
  }
}

TEST(BouncedTally, AnyBlockSizeGivesTheWholeReportsCount) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::string bytes = random_bytes(300, ">>::\n\nx\0"s, seed);
    const std::uint64_t expected = reference_bounced(bytes);
    for (std::size_t block = 1; block <= 40; ++block) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " block " + std::to_string(block));
      ASSERT_EQ(bounced_in_blocks(bytes, block), expected);
    }
  }
}

TEST(BouncedTally, CountPasses32Bits) {
  BouncedTally tally;
  tally.count = 0xffffffffu;
  tally_bounced_recipients(tally, {"<a>:\n<b>:\n", 10});
  EXPECT_EQ(tally.count, 0x100000001u);
}

// The list ends with the plain row, which needs nothing, and the dispatcher takes the first
// row that the compiler's own run-time check says this processor runs.
TEST(ScanRowList, TheFirstRowTheProcessorRunsIsChosen) {
  ASSERT_FALSE(scan_rows().empty());
  EXPECT_EQ(scan_rows().back()->needs, 0u) << scan_rows().back()->name;
  EXPECT_EQ(best_scan_row(), test_support::first_row_the_processor_has<ScanRow>(scan_rows()));
}

// Every row, called directly, against the plain rules, on lists and reports cut into blocks of
// many sizes: boundaries inside ">:" newline and after a NUL, and sums folded at 255 vectors.
class TallyRows : public testing::TestWithParam<const ScanRow*> {};

TEST_P(TallyRows, GiveThePlainCountsInBlocksOfAnySize) {
  const ScanRow* row = GetParam();
  const std::string skip = test_support::row_skip_reason(row->name, row->needs);
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::vector<std::string> inputs = {"Ta@x\0Db@y\0Tc@z\0Dd@w\0"s, "<a@x>:\nr\n\n<b@y>:\n\n"s,
                                     "Da\0" + std::string(9000, '\0') + std::string(9000, 'T')};
  for (unsigned seed = 1; seed <= 6; ++seed) {
    inputs.push_back(random_bytes(300 + seed, "DDTT#\0x"s, seed));
    inputs.push_back(random_bytes(300 + seed, ">>::\n\nx\0"s, seed));
    inputs.push_back(random_bytes(20000, "DTT#\0xxxxx>:\n"s, seed));
  }
  std::vector<std::size_t> blocks = {8161, 8160, 8159, 4081, 4080, 4079, 30000};
  for (std::size_t block = 1; block <= 70; ++block) blocks.push_back(block);
  for (const std::string& input : inputs) {
    const DoneCounts done = reference_done(input);
    const std::uint64_t bounced = reference_bounced(input);
    for (std::size_t block : blocks) {
      if (block > input.size() + 1 && block != 30000) continue;
      SCOPED_TRACE(testing::PrintToString(input.substr(0, 20)) + " block " + std::to_string(block));
      ASSERT_EQ(done_in_blocks(input, block, row), done);
      ASSERT_EQ(bounced_in_blocks(input, block, row), bounced);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, TallyRows, testing::ValuesIn(scan_rows()),
                         [](const testing::TestParamInfo<const ScanRow*>& row) {
                           return std::string(row.param->name);
                         });

// The read loops: every byte of the file counted, whatever the block; a failed read reported.
TEST(TallyFile, ReadsTheWholeFileInBlocks) {
  const std::string list = random_bytes(5000, "DT#\0xxxx"s, 7);
  const std::string report = random_bytes(5000, ">:\nxx"s, 8);
  for (std::size_t size : {1, 7, 4096, 8192}) {
    SCOPED_TRACE("block " + std::to_string(size));
    std::vector<char> block(size);
    DoneTally done;
    EXPECT_EQ(tally_done_file(test_support::memory_file(list).get(), block, done), 0);
    EXPECT_EQ(DoneCounts({done.done, done.last_done, done.records}), reference_done(list));
    BouncedTally bounced;
    EXPECT_EQ(tally_bounced_file(test_support::memory_file(report).get(), block, bounced), 0);
    EXPECT_EQ(bounced.count, reference_bounced(report));
  }
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<char> block(64);
  DoneTally done;
  errno = 0;
  EXPECT_EQ(tally_done_file(directory.get(), block, done), -1);
  EXPECT_EQ(errno, EISDIR);
}

}  // namespace
