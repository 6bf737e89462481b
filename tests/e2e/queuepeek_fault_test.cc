// SPDX-License-Identifier: MIT
// queuepeek under injected faults: each failure gives its message and status, OUTPUT holds no
// partial list, and the queue file is never written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "bounce_extract.h"
#include "fault_injection.h"
#include "queue_rules.h"
#include "run_program.h"

namespace {

using test_support::describe;
using test_support::expect_run;
using test_support::Fault;
using test_support::fault_environment;
using test_support::Intervention;
using test_support::on_fd;
using test_support::on_path;
using test_support::outcome;
using test_support::read_file;
using test_support::read_interventions;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::TempDir;

/// A remote-delivery list of three 128 KiB blocks and more.
std::string remote_list() {
  std::string list;
  for (int i = 0; list.size() < 3 * 131072 + 100; ++i)
    list += (i % 3 == 0 ? "D" : "T") + std::to_string(i) + "@host.example" + '\0';
  return list;
}

/// A bounce report of more than two chunks, with an address that the chunk boundary cuts, so
/// that -D reads the cut part again from the file.
std::string bounce_report() {
  std::string report;
  auto add = [&report](const std::string& address) {
    report += "<" + address + ">:\nSorry, no mailbox here by that name. (#5.1.1)\n\n";
  };
  for (int i = 0; report.size() < k_bounce_chunk_size - 200; ++i)
    add("user" + std::to_string(i) + "@h" + std::to_string(i % 7) + ".example");
  add(std::string(300, 'l') + "@straddle.example");
  for (int i = 0; report.size() < 2 * k_bounce_chunk_size + 80000; ++i)
    add("late" + std::to_string(i) + "@example.org");
  return report;
}

enum class Output { none, absent, empty };

class QueuepeekFaults : public testing::Test {
 protected:
  void SetUp() override {
    m_list = m_dir.write("list", remote_list());
    m_report = m_dir.write("report", bounce_report());
    m_output = m_dir.file("out");
    const std::string report = read_file(m_report);
    const std::size_t cut = report.rfind('<', k_bounce_chunk_size);
    ASSERT_GT(report.find(">:", cut), k_bounce_chunk_size)
        << "no address straddles the chunk boundary";
  }

  /// Runs queuepeek with `args`, and checks that neither queue file changed: not a byte, and
  /// not the modification time, set far in the past before the run.
  RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const std::string& path : {m_list, m_report})
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    const std::string list = read_file(m_list);
    const std::string report = read_file(m_report);
    RunOptions options;
    options.args = args;
    options.env = env;
    const RunResult result = test_support::run_program(QUEUEPEEK_PATH, options);
    for (const std::string& path : {m_list, m_report}) {
      struct stat status;
      EXPECT_EQ(stat(path.c_str(), &status), 0);
      EXPECT_EQ(status.st_mtim.tv_sec, past[1].tv_sec) << path << " was written";
      EXPECT_EQ(status.st_mtim.tv_nsec, past[1].tv_nsec) << path << " was written";
    }
    EXPECT_EQ(read_file(m_list), list) << "the list changed";
    EXPECT_EQ(read_file(m_report), report) << "the report changed";
    return result;
  }

  RunResult run_with(const Fault& fault, const std::vector<std::string>& args) {
    std::remove(m_output.c_str());
    std::remove(report_path().c_str());
    return run(args, fault_environment(fault, report_path()));
  }

  std::string report_path() const { return m_dir.file("interventions"); }

  std::size_t count(const std::string& call, const std::string& what) const {
    std::size_t n = 0;
    for (const Intervention& i : read_interventions(report_path()))
      if (i.call == call && i.what == what) ++n;
    return n;
  }

  void expect_output(Output expected) const {
    struct stat status;
    const bool exists = stat(m_output.c_str(), &status) == 0;
    if (expected == Output::absent) {
      EXPECT_FALSE(exists) << "OUTPUT was created";
    }
    if (expected == Output::empty) {
      ASSERT_TRUE(exists) << "OUTPUT is missing";
      EXPECT_EQ(status.st_size, 0) << "a partial list was left in OUTPUT";
    }
  }

  TempDir m_dir;
  std::string m_list;
  std::string m_report;
  std::string m_output;
};

TEST_F(QueuepeekFaults, EveryModeLeavesTheQueueFileAlone) {
  const test_support::DoneCounts done = test_support::reference_done(read_file(m_list));
  expect_run(run({"-S", m_list}), 0,
             std::to_string(done.done) + ":" + std::to_string(done.last_done) + ":" +
                 std::to_string(done.records));
  expect_run(run({"-B", m_report}), 0,
             std::to_string(test_support::reference_bounced(read_file(m_report))));
  expect_run(run({"-D", m_report, m_output}), 0, "");
  EXPECT_NE(read_file(m_output).find("\n" + std::string(300, 'l') + "@straddle.example\r\n"),
            std::string::npos);
}

TEST_F(QueuepeekFaults, FailuresGiveTheirMessageAndStatus) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    Fault fault;
    std::string out;
    Output output;
  };
  const std::string list_read = "read file error:" + m_list;
  const std::string report_read = "read file error:" + m_report;
  const std::string output_write = "write file error:" + m_output;
  const std::vector<std::string> tally_list = {"-S", m_list};
  const std::vector<std::string> tally_report = {"-B", m_report};
  const std::vector<std::string> extract = {"-D", m_report, m_output};
  const Row rows[] = {
      // Reading the queue file.
      {"-S, EIO on the first block", tally_list, on_path(m_list).failing("read"), list_read,
       Output::none},
      {"-S, EIO on the second block", tally_list, on_path(m_list).failing("read", "EIO", 2),
       list_read, Output::none},
      {"-B, EIO on the first block", tally_report, on_path(m_report).failing("read"), report_read,
       Output::none},
      {"-B, EIO on the third block", tally_report, on_path(m_report).failing("read", "EIO", 3),
       report_read, Output::none},
      {"-D, EIO on the first chunk", extract, on_path(m_report).failing("read"), report_read,
       Output::empty},
      {"-D, EIO on the second chunk", extract, on_path(m_report).failing("read", "EIO", 2),
       report_read, Output::empty},
      {"-D, EIO reading a cut address again", extract, on_path(m_report).failing("pread"),
       report_read, Output::empty},
      {"-D, the report ends early", extract, on_path(m_report).failing("pread", "0"), report_read,
       Output::empty},
      // Closing the queue file.
      {"-S, close fails", tally_list, on_path(m_list).failing("close"), list_read, Output::none},
      {"-B, close fails", tally_report, on_path(m_report).failing("close"), report_read,
       Output::none},
      {"-D, close of the report fails", extract, on_path(m_report).failing("close"), report_read,
       Output::empty},
      // Opening.
      {"-S, the list cannot be opened", tally_list, on_path(m_list).failing("open"),
       "open file error:" + m_list, Output::none},
      {"-D, the report cannot be opened", extract, on_path(m_report).failing("open"),
       "open file error:" + m_report, Output::absent},
      {"-D, OUTPUT cannot be created", extract, on_path(m_output).failing("open", "ENOSPC"),
       "open file error:" + m_output, Output::absent},
      // Writing OUTPUT.
      {"-D, ENOSPC on the first write", extract, on_path(m_output).failing("write", "ENOSPC"),
       output_write, Output::empty},
      // Addresses go out 128 KiB at a time, three writes for this report: the first went to
      // the file already when the second fails.
      {"-D, ENOSPC after a buffer went out", extract,
       on_path(m_output).failing("write", "ENOSPC", 2), output_write, Output::empty},
      {"-D, the last write transfers nothing", extract, on_path(m_output).failing("write", "0", 3),
       output_write, Output::empty},
      {"-D, ENOSPC on closing OUTPUT", extract, on_path(m_output).failing("close", "ENOSPC"),
       output_write, Output::empty},
      {"-D, EIO on the last close of OUTPUT", extract,
       on_path(m_output).failing("close", "EIO", 2), output_write, Output::empty},
      // The answer is lost: only the status can tell.
      {"-S, the answer cannot be flushed", tally_list, on_fd(1).failing("fflush", "ENOSPC"), "",
       Output::none},
      {"-B, the answer cannot be printed", tally_report, on_fd(1).failing("printf"), "",
       Output::none},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + ": " + describe(row.fault));
    expect_run(run_with(row.fault, row.args), 1, row.out);
    expect_output(row.output);
    EXPECT_EQ(count(row.fault.call, outcome(row.fault)), 1u) << "the fault did not fire once";
  }
}

TEST_F(QueuepeekFaults, InterruptedAndShortReadsAgainChangeNothing) {
  const std::vector<std::string> extract = {"-D", m_report, m_output};
  expect_run(run(extract), 0, "");
  const std::string expected = read_file(m_output);
  struct Row {
    const char* name;
    Fault fault;
  };
  const Row rows[] = {
      {"EINTR on every other pread", on_path(m_report).failing("pread", "EINTR", 1, 2)},
      {"three bytes per pread", on_path(m_report).reads_at_most(3)},
      {"both", on_path(m_report).failing("pread", "EINTR", 2, 2).reads_at_most(7)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + ": " + describe(row.fault));
    expect_run(run_with(row.fault, extract), 0, "");
    EXPECT_EQ(read_file(m_output), expected);
    if (!row.fault.call.empty()) {
      EXPECT_GT(count(row.fault.call, outcome(row.fault)), 0u);
    }
    if (row.fault.read_max > 0) {
      EXPECT_GT(count("pread", "short"), 0u);
    }
  }
}

}  // namespace
