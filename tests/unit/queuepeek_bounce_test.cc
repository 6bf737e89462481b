// SPDX-License-Identifier: MIT
// Bounce address extraction: documented reports, records cut by chunk boundaries anywhere,
// NUL bytes, the empty-reason record, and failures of the descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bounce_extract.h"
#include "memory_file.h"
#include "queue_rules.h"
#include "row_support.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

using test_support::memory_file;
using test_support::reference_extract;

// Addresses put in a memory file through a small buffer, so that it fills and goes out often.
struct MemoryOutput {
  UniqueFd file = memory_file("");
  std::vector<char> buffer = std::vector<char>(100);
  AddressOutput output{file.get(), buffer};

  std::string written() {
    EXPECT_TRUE(flush_output(output));
    return test_support::contents(file.get());
  }
};

// Runs the extraction over `report` in chunks of `chunk_size`; returns what it wrote.
std::string extract(std::string_view report, std::size_t chunk_size,
                    const ScanRow* row = best_scan_row()) {
  UniqueFd in = memory_file(report);
  MemoryOutput out;
  std::vector<char> chunk(chunk_size);
  EXPECT_EQ(extract_bounced_addresses(in.get(), out.output, chunk, row), ExtractResult::done);
  return out.written();
}

// Scans `report` as chunks of `size` bytes, given one by one; returns what it wrote.
std::string scan_in_chunks(std::string_view report, std::size_t size,
                           const ScanRow* row = best_scan_row()) {
  UniqueFd in = memory_file(report);
  MemoryOutput out;
  BounceScan scan;
  scan.report_fd = in.get();
  scan.row = row;
  for (std::size_t at = 0; at < report.size(); at += size)
    EXPECT_EQ(scan_bounce_chunk(scan, report.substr(at, size), out.output), ExtractResult::done);
  return out.written();
}

// Scans `report` as two chunks cut at `cut`.
std::string extract_cut(std::string_view report, std::size_t cut) {
  UniqueFd in = memory_file(report);
  MemoryOutput out;
  BounceScan scan;
  scan.report_fd = in.get();
  EXPECT_EQ(scan_bounce_chunk(scan, report.substr(0, cut), out.output), ExtractResult::done);
  EXPECT_EQ(scan_bounce_chunk(scan, report.substr(cut), out.output), ExtractResult::done);
  return out.written();
}

struct Case {
  const char* what;
  std::string report;
  std::string expected;
};

// Expected outputs worked out from the record rules.
const std::vector<Case>& documented_cases() {
  static const std::vector<Case> cases = {
      {"two records", "<a@x>:\nreason one\n\n<b@y>:\nreason two\n\n", "a@x\r\nb@y\r\n"},
      {"one record: only its \"<\" is dropped", "<a@x>:\nreason\n\n", "a@x\r\n"},
      {"local name without @", "<a@x>:\nr1\n\n<local>:\nr2\n\n<c@z>:\nr3\n\n", "a@x\r\nc@z\r\n"},
      {"record without >: line", "<a@x>:\nr1\n\n<broken\nr2\n\n<c@z>:\nr3\n\n", "a@x\r\nc@z\r\n"},
      {"empty report", "", ""},
      {"empty reasons: the separator's newline ends the >: line",
       "<a@x>:\n\n<b@y>:\n\n<c@z>:\nr\n\n", "a@x\r\nb@y\r\nc@z\r\n"},
      {"empty reason last", "<a@x>:\nr\n\n<b@y>:\n\n", "a@x\r\nb@y\r\n"},
      {"reason lines ending in >: are not addresses",
       "<a@x>:\nsaid <v@w>:\n\n<b@y>:\nline <z@q>:\n//x\n\n", "a@x\r\nb@y\r\n"},
      {"CR before the newline", "<a@x>:\r\nr\n\n<b@y>:\nr\n\n", "b@y\r\n"},
      {"last >: without newline", "<a@x>:\nr\n\n<b@y>:", "a@x\r\n"},
      {"first byte dropped whatever it is", "x@y>:\nr\n\n", "@y\r\n"},
      {"file starting with a separator", "\n\n<a@x>:\nr\n\n", "a@x\r\n"},
      {"three newlines before <", "<a@x>:\nr\n\n\n<b@y>:\nr\n", "a@x\r\nb@y\r\n"},
      {"empty address", "<>:\nr\n\n<@>:\n", "@\r\n"},
      {"address spanning lines is the text before >:", "<a\nb@c>:\nr\n", "a\nb@c\r\n"},
      {"NUL ends the text", "<a@x>:\nr\n\n<b@y>:\nr\0\n\n<c@z>:\nr\n\n"s, "a@x\r\nb@y\r\n"},
      {"NUL inside the >: line", "<a@x>:\nr\n\n<b@y>\0:\n"s, "a@x\r\n"},
      {"NUL first", "\0<a@x>:\n"s, ""},
  };
  return cases;
}

TEST(BounceExtract, DocumentedReports) {
  for (const Case& c : documented_cases()) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(reference_extract(c.report), c.expected) << "the reference itself";
    EXPECT_EQ(extract(c.report, k_bounce_chunk_size), c.expected);
  }
}

TEST(BounceExtract, DocumentedReportsInChunksOfEverySize) {
  for (const Case& c : documented_cases()) {
    for (std::size_t size = 1; size <= c.report.size() + 1; ++size) {
      SCOPED_TRACE(std::string(c.what) + ", chunk size " + std::to_string(size));
      EXPECT_EQ(extract(c.report, size), c.expected);
    }
  }
}

// Records as qmail writes them, with empty reasons (the cut may fall inside ">:", newline
// and the separator at once), reason lines ending in ">:", CRs and high bytes.
const std::string k_realistic =
    "<rej1@a.test>:\n127.0.0.1 does not like recipient.\nRemote host said: 550 5.1.1 "
    "<rej1>: user unknown\nGiving up on 127.0.0.1.\n\n"
    "<prog@testhost.example>:\n\n"
    "<local>:\nSorry, no mailbox here by that name. (#5.1.1)\n\n"
    "<empty@reason.test>:\n\n"
    "<spoof@d.test>:\nRemote host said: 550-5.7.1 rejected for <victim@example.net>:\n"
    "550 5.7.1 see policy\n\n"
    "<high@d.test>:\nEmpf\xe4nger unbekannt \xc3\xa9\r\nline ending with <z@q.example>:\n"
    "//after two empty lines\n\n"
    "<last@x.test>:\n";

TEST(BounceExtract, CutAtEveryOffsetGivesTheWholeScan) {
  const std::string expected = reference_extract(k_realistic);
  ASSERT_EQ(expected,
            "rej1@a.test\r\nprog@testhost.example\r\nempty@reason.test\r\nspoof@d.test\r\n"
            "high@d.test\r\nlast@x.test\r\n");
  for (std::size_t cut = 0; cut <= k_realistic.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    EXPECT_EQ(extract_cut(k_realistic, cut), expected);
  }
  for (std::size_t size = 1; size <= 64; ++size) {
    SCOPED_TRACE("chunk size " + std::to_string(size));
    EXPECT_EQ(extract(k_realistic, size), expected);
  }
}

TEST(BounceExtract, RandomReportsAgreeWithTheWholeScan) {
  // Every byte the rules look at, densely: separators, ">:" lines, "@", NUL.
  const std::string alphabet = "<<>>::\n\n\n@a\0"s;
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string report;
    for (int i = 0; i < 120; ++i) {
      const char c = alphabet[pick(generator)];
      // Keep most reports free of NUL so that their whole length is scanned.
      report += c == '\0' && seed % 4 != 0 ? 'a' : c;
    }
    const std::string expected = reference_extract(report);
    for (std::size_t size : {1, 2, 3, 5, 7, 16, 119, 120}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " chunk size " + std::to_string(size));
      ASSERT_EQ(extract(report, size), expected);
    }
  }
}

// Records of `record_size` bytes each: "<" + address + ">:" newline + reason + two newlines.
std::string padded_report(std::size_t total, std::size_t record_size,
                          std::vector<std::string>& addresses) {
  std::string report;
  while (report.size() + record_size <= total) {
    const std::string address = "r" + std::to_string(addresses.size()) + "@x.test";
    std::string record = "<" + address + ">:\n";
    record += std::string(record_size - record.size() - 2, 'w') + "\n\n";
    report += record;
    addresses.push_back(address);
  }
  return report;
}

TEST(BounceExtract, ReportOfExactlyOneChunk) {
  std::vector<std::string> addresses;
  std::string report = padded_report(k_bounce_chunk_size, 1024, addresses);
  ASSERT_EQ(report.size(), k_bounce_chunk_size);
  std::string expected;
  for (const std::string& a : addresses) expected += a + "\r\n";
  EXPECT_EQ(extract(report, k_bounce_chunk_size), expected);
}

TEST(BounceExtract, RecordsAcrossTheProgramsChunkBoundary) {
  // 1000-byte records put boundaries inside records; a further record straddles the end of
  // the first chunk at its address, the next at its ">:" line.
  std::vector<std::string> addresses;
  std::string report = padded_report(k_bounce_chunk_size + 3000, 1000, addresses);
  const std::string expected = reference_extract(report);
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'),
            static_cast<long>(addresses.size()));
  EXPECT_EQ(extract(report, k_bounce_chunk_size), expected);
  for (std::size_t shift : {0, 1, 2, 3, 10, 998, 999}) {
    SCOPED_TRACE("shift " + std::to_string(shift));
    const std::string shifted = std::string(shift, 'p') + report;
    EXPECT_EQ(extract(shifted, k_bounce_chunk_size), reference_extract(shifted));
  }
}

TEST(BounceExtract, NothingAfterTheFirstNulEvenInLaterChunks) {
  const std::string report = "<a@x>:\nr\0\n\n<b@y>:\nr\n\n"s;
  for (std::size_t size = 1; size <= report.size(); ++size) {
    SCOPED_TRACE("chunk size " + std::to_string(size));
    EXPECT_EQ(extract(report, size), "a@x\r\n");
  }
}

TEST(BounceExtract, KeepsOnlyWhetherTheCutPartOfAnAddressHoldsAnAt) {
  const std::string report = "<a@x>:\nlong reason\n\n<bob@y>:\n";
  UniqueFd in = memory_file(report);
  MemoryOutput out;
  BounceScan scan;
  scan.report_fd = in.get();
  ASSERT_EQ(scan_bounce_chunk(scan, "<a@x>:\nlong reason"sv, out.output), ExtractResult::done);
  EXPECT_FALSE(scan.in_address) << "the address was written, nothing to keep";
  ASSERT_EQ(scan_bounce_chunk(scan, "\n\n<bo"sv, out.output), ExtractResult::done);
  EXPECT_FALSE(scan.head_has_at);
  ASSERT_EQ(scan_bounce_chunk(scan, "b@y>"sv, out.output), ExtractResult::done);
  EXPECT_TRUE(scan.head_has_at);
  ASSERT_EQ(scan_bounce_chunk(scan, ":\n"sv, out.output), ExtractResult::done);
  EXPECT_FALSE(scan.in_address);
  EXPECT_EQ(scan.records_seen, 1u);
  EXPECT_EQ(out.written(), "a@x\r\nbob@y\r\n");
}

// Nothing of a cut record is kept in memory, however long the text before its ">:" line: the
// address is read again from the file, and through an output buffer shorter than it.
TEST(BounceExtract, RereadsCutAddressesFromTheFile) {
  const std::string report = "<a@x>:\nr\n\n<" + std::string(5000, 'z') + "@x>:\nr\n\n<" +
                             std::string(3000, 'q') + ">:\nno at sign\n\n<b@y>:\nr\n\n";
  const std::string written = scan_in_chunks(report, 100);
  EXPECT_EQ(written, reference_extract(report));
  EXPECT_EQ(written, "a@x\r\n" + std::string(5000, 'z') + "@x\r\nb@y\r\n");
}

TEST(BounceExtract, ReportsAReadError) {
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  MemoryOutput out;
  std::vector<char> chunk(64);
  errno = 0;
  EXPECT_EQ(extract_bounced_addresses(directory.get(), out.output, chunk),
            ExtractResult::read_error);
  EXPECT_EQ(errno, EISDIR);
}

TEST(BounceExtract, ReportsAWriteError) {
  UniqueFd in = memory_file("<a@x>:\nr\n\n<b@y>:\nr\n\n");
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  // A buffer shorter than the addresses, so that they meet the full device inside the scan.
  char buffer[4];
  AddressOutput output{full.get(), buffer};
  std::vector<char> chunk(16);
  EXPECT_EQ(extract_bounced_addresses(in.get(), output, chunk), ExtractResult::write_error);
  output.length = 1;
  errno = 0;
  EXPECT_FALSE(flush_output(output));
  EXPECT_EQ(errno, ENOSPC);
}

TEST(BounceExtract, ReportWithoutAddressesWritesNothingEvenToAFullDevice) {
  UniqueFd in = memory_file("<local>:\nr\n\n");
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  char buffer[4];
  AddressOutput output{full.get(), buffer};
  std::vector<char> chunk(16);
  EXPECT_EQ(extract_bounced_addresses(in.get(), output, chunk), ExtractResult::done);
  EXPECT_TRUE(flush_output(output));
}

// Every row, called directly, against the whole-text rules: the reports above, a long one (many
// vectors and mask batches per chunk) with and without a NUL deep inside, and random ones, in
// chunks of many sizes, so that boundaries fall inside ">:" newline, newline newline "<" and
// before a NUL; read by the extraction's loop and given chunk by chunk.
class BounceRows : public testing::TestWithParam<const ScanRow*> {};

TEST_P(BounceRows, WriteTheWholeTextsAddressesInChunksOfAnySize) {
  const ScanRow* row = GetParam();
  const std::string skip = test_support::row_skip_reason(row->name, row->needs);
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::vector<std::string> reports;
  for (const Case& c : documented_cases()) reports.push_back(c.report);
  std::string long_report;
  while (long_report.size() < 10000) long_report += k_realistic;
  reports.push_back(long_report);
  reports.push_back(long_report.substr(0, 5000) + '\0' + long_report);
  const std::string alphabet = "<<>>::\n\n\n@a\0"s;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string report;
    for (int i = 0; i < 300; ++i) {
      const char c = alphabet[pick(generator)];
      report += c == '\0' && seed % 4 != 0 ? 'a' : c;
    }
    reports.push_back(report);
  }
  std::vector<std::size_t> sizes = {127, 128, 129, 4095, 4096, 4161, k_bounce_chunk_size};
  for (std::size_t size = 1; size <= 70; ++size) sizes.push_back(size);
  for (const std::string& report : reports) {
    const std::string expected = reference_extract(report);
    for (std::size_t size : sizes) {
      SCOPED_TRACE(testing::PrintToString(report.substr(0, 30)) + ", chunk size " +
                   std::to_string(size));
      ASSERT_EQ(extract(report, size, row), expected);
      ASSERT_EQ(scan_in_chunks(report, size, row), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, BounceRows, testing::ValuesIn(scan_rows()),
                         [](const testing::TestParamInfo<const ScanRow*>& row) {
                           return std::string(row.param->name);
                         });

}  // namespace
