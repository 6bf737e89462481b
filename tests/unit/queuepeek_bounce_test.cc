// SPDX-License-Identifier: MIT
// Bounce address extraction: documented reports, records cut by chunk boundaries anywhere,
// NUL bytes, the empty-reason record, and failures of the streams.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bounce_extract.h"
#include "memory_file.h"
#include "queue_rules.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

using test_support::memory_file;
using test_support::reference_extract;

// Closes a stream at the end of a test.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

std::string read_back(std::FILE* f) {
  std::string bytes;
  std::rewind(f);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  return bytes;
}

UniqueFile temporary_file(std::string_view bytes) {
  UniqueFile f(std::tmpfile());
  if (!f) throw std::runtime_error("tmpfile failed");
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    throw std::runtime_error("tmpfile write failed");
  std::rewind(f.get());
  return f;
}

// Runs the extraction over `report` in chunks of `chunk_size`; returns what it wrote.
std::string extract(std::string_view report, std::size_t chunk_size,
                    const ScanRow* row = best_scan_row()) {
  UniqueFd in = memory_file(report);
  UniqueFile out = temporary_file("");
  std::vector<char> chunk(chunk_size);
  const ExtractResult result = extract_bounced_addresses(in.get(), out.get(), chunk, row);
  EXPECT_EQ(result, ExtractResult::done);
  return read_back(out.get());
}

// Scans `report` as two chunks cut at `cut`.
std::string extract_cut(std::string_view report, std::size_t cut) {
  UniqueFile out = temporary_file("");
  BounceScan scan;
  EXPECT_EQ(scan_bounce_chunk(scan, report.substr(0, cut), out.get()), ExtractResult::done);
  EXPECT_EQ(scan_bounce_chunk(scan, report.substr(cut), out.get()), ExtractResult::done);
  return read_back(out.get());
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

TEST(BounceExtract, CarriesOnlyTheAddressPartOfACutRecord) {
  UniqueFile out = temporary_file("");
  BounceScan scan;
  ASSERT_EQ(scan_bounce_chunk(scan, "<a@x>:\nlong reason"sv, out.get()), ExtractResult::done);
  EXPECT_EQ(scan.carried.size(), 0u) << "the address was written, nothing to keep";
  ASSERT_EQ(scan_bounce_chunk(scan, "\n\n<bo"sv, out.get()), ExtractResult::done);
  EXPECT_EQ(std::string(scan.carried.data(), scan.carried.size()), "bo");
  ASSERT_EQ(scan_bounce_chunk(scan, "b@y>"sv, out.get()), ExtractResult::done);
  EXPECT_EQ(std::string(scan.carried.data(), scan.carried.size()), "bob@y>");
  ASSERT_EQ(scan_bounce_chunk(scan, ":\n"sv, out.get()), ExtractResult::done);
  EXPECT_EQ(scan.carried.size(), 0u);
  EXPECT_EQ(scan.records_seen, 1u);
  EXPECT_EQ(read_back(out.get()), "a@x\r\nbob@y\r\n");
}

// With the report's file at hand nothing of a cut record is kept in memory, however long the
// text before its ">:" line: the address is read again from the file.
TEST(BounceExtract, RereadsCutAddressesFromTheFile) {
  const std::string report = "<a@x>:\nr\n\n<" + std::string(5000, 'z') + "@x>:\nr\n\n<" +
                             std::string(3000, 'q') + ">:\nno at sign\n\n<b@y>:\nr\n\n";
  UniqueFd in = memory_file(report);
  UniqueFile out = temporary_file("");
  BounceScan scan;
  scan.reread_fd = in.get();
  const std::string_view whole = report;
  for (std::size_t pos = 0; pos < whole.size(); pos += 100) {
    ASSERT_EQ(scan_bounce_chunk(scan, whole.substr(pos, 100), out.get()), ExtractResult::done);
    EXPECT_EQ(scan.carried.size(), 0u);
  }
  EXPECT_EQ(read_back(out.get()), reference_extract(report));
  EXPECT_EQ(read_back(out.get()), "a@x\r\n" + std::string(5000, 'z') + "@x\r\nb@y\r\n");
}

TEST(BounceExtract, ReportsAReadError) {
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  UniqueFile out = temporary_file("");
  std::vector<char> chunk(64);
  errno = 0;
  EXPECT_EQ(extract_bounced_addresses(directory.get(), out.get(), chunk),
            ExtractResult::read_error);
  EXPECT_EQ(errno, EISDIR);
}

TEST(BounceExtract, ReportsAWriteError) {
  UniqueFd in = memory_file("<a@x>:\nr\n\n");
  UniqueFile out(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(out);
  // Unbuffered, so that the first address meets the full device inside the scan.
  ASSERT_EQ(std::setvbuf(out.get(), nullptr, _IONBF, 0), 0);
  std::vector<char> chunk(16);
  EXPECT_EQ(extract_bounced_addresses(in.get(), out.get(), chunk), ExtractResult::write_error);
}

TEST(BounceExtract, ReportWithoutAddressesWritesNothingEvenToAFullDevice) {
  UniqueFd in = memory_file("<local>:\nr\n\n");
  UniqueFile out(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(out);
  ASSERT_EQ(std::setvbuf(out.get(), nullptr, _IONBF, 0), 0);
  std::vector<char> chunk(16);
  EXPECT_EQ(extract_bounced_addresses(in.get(), out.get(), chunk), ExtractResult::done);
}

// Every row, called directly, against the whole-text rules: the reports above, a long one (many
// vectors and mask batches per chunk) with and without a NUL deep inside, and random ones, in
// chunks of many sizes, so that boundaries fall inside ">:" newline, newline newline "<" and
// before a NUL; read from a file (cut addresses read again) and as a stream (kept in memory).
class BounceRows : public testing::TestWithParam<const ScanRow*> {};

TEST_P(BounceRows, WriteTheWholeTextsAddressesInChunksOfAnySize) {
  const ScanRow* row = GetParam();
  if (!runs(*row)) GTEST_SKIP() << "the " << row->name << " row: this processor lacks it";
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
      UniqueFile out = temporary_file("");
      BounceScan scan;
      scan.row = row;
      for (std::size_t at = 0; at < report.size(); at += size)
        ASSERT_EQ(scan_bounce_chunk(scan, std::string_view(report).substr(at, size), out.get()),
                  ExtractResult::done);
      ASSERT_EQ(read_back(out.get()), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, BounceRows, testing::ValuesIn(scan_rows()),
                         [](const testing::TestParamInfo<const ScanRow*>& row) {
                           return std::string(row.param->name);
                         });

}  // namespace
