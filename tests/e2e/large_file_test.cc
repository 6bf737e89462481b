// SPDX-License-Identifier: MIT
// Files past 4 GiB and lines of a gigabyte: sparse files (holes cost no disk and read as NUL
// bytes) pass through the programs, which must count them exactly on 32-bit builds too and keep
// their memory small whatever the line length.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using test_support::OutputDigest;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdoutMode;
using test_support::TempDir;

constexpr std::uint64_t k_four_gib = std::uint64_t{1} << 32;
constexpr std::uint64_t k_one_gib = std::uint64_t{1} << 30;
// A program that kept a line or a block of a gigabyte would be far past this.
constexpr long k_small_memory_kib = 32 * 1024;

// Makes `name` in `dir`: `head`, then holes up to `size` bytes in all.
std::string sparse_file(const TempDir& dir, const std::string& name, const std::string& head,
                        std::uint64_t size) {
  std::string path = dir.write(name, head);
  if (truncate(path.c_str(), static_cast<off_t>(size)) != 0) ADD_FAILURE() << "truncate " << path;
  return path;
}

#define SKIP_UNDER_WRAPPER()                                                             \
  if (test_support::running_under_wrapper())                                            \
  GTEST_SKIP() << "gigabytes through a test wrapper take too long; the plain run covers it"

TEST(LargeFiles, RunnelCopiesPastFourGibThroughAPipe) {
  SKIP_UNDER_WRAPPER();
  TempDir dir;
  const std::uint64_t size = k_four_gib + 3;
  const std::string file = sparse_file(dir, "big", "abc", size);
  RunOptions options;
  options.args = {file};
  options.stdout_mode = StdoutMode::digest;
  const RunResult r = test_support::run_program(RUNNEL_PATH, options);
  OutputDigest expected;
  expected.add("abc");
  expected.add_repeated(std::string(1, '\0'), size - 3);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out_size, size);
  EXPECT_EQ(r.out_digest, expected.value());
}

TEST(LargeFiles, QueuepeekCountsPastTwoToThe32Records) {
  SKIP_UNDER_WRAPPER();
  TempDir dir;
  // "D", then 2^32 + 1 NUL bytes: as many records, the first one done.
  const std::string list = sparse_file(dir, "list", "D", k_four_gib + 2);
  RunOptions options;
  options.args = {"-S", list};
  test_support::expect_run(test_support::run_program(QUEUEPEEK_PATH, options), 0,
                           "1:1:4294967297");
  // A "D" after the 2^32nd record: its ordinal needs 33 bits too.
  const std::string late = sparse_file(dir, "late", "", k_four_gib + 1);
  {
    const int fd = open(late.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "D", 1, static_cast<off_t>(k_four_gib)), 1);
    close(fd);
  }
  options.args = {"-S", late};
  test_support::expect_run(test_support::run_program(QUEUEPEEK_PATH, options), 0,
                           "1:4294967297:4294967296");
}

TEST(LargeFiles, OneGibLineUnderFormattingKeepsMemorySmall) {
  SKIP_UNDER_WRAPPER();
  TempDir dir;
  // One line of 2^30 NUL bytes and its newline.
  const std::string file = sparse_file(dir, "line", "", k_one_gib + 1);
  {
    const int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "\n", 1, static_cast<off_t>(k_one_gib)), 1);
    close(fd);
  }
  struct Row {
    const char* option;
    std::string number;  // text before the line
    std::string nul;     // what each NUL byte becomes
  };
  const Row rows[] = {
      {"-n", "     1\t", std::string(1, '\0')},
      {"-v", "", "^@"},
      {"-nvE", "     1\t", "^@"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option);
    RunOptions options;
    options.args = {row.option, file};
    options.stdout_mode = StdoutMode::digest;
    const RunResult r = test_support::run_program(RUNNEL_PATH, options);
    OutputDigest expected;
    expected.add(row.number);
    expected.add_repeated(row.nul, k_one_gib);
    expected.add(std::string(row.option) == "-nvE" ? "$\n" : "\n");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out_size, row.number.size() + row.nul.size() * k_one_gib +
                              (std::string(row.option) == "-nvE" ? 2 : 1));
    EXPECT_EQ(r.out_digest, expected.value());
    EXPECT_LT(r.peak_rss_kib, k_small_memory_kib);
  }
}

}  // namespace
