// SPDX-License-Identifier: MIT
// runnel under injected faults: interrupted and short transfers change nothing, failures give
// their diagnostics and statuses. The plain copy moves bytes with splice into a pipe and with
// copy_file_range between files, so a fault on reading or writing strikes those calls too.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fault_injection.h"
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
using test_support::read_interventions;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdinMode;
using test_support::StdoutMode;
using test_support::TempDir;

// Option sets that take different paths through the copies: the plain copy, each switch of the
// formatted one alone, and combinations whose switches act on the same bytes.
const char* const k_option_sets[] = {
    "",   "-u",  "-n",  "-b",  "-s",  "-v",  "-E",  "-T",    "-A",       "-e",
    "-t", "-ns", "-bs", "-nE", "-nv", "-sA", "-nT", "-b -n", "-b -s -A",
};

// Fewer sets for the failures, where the option set matters less than the fault.
const char* const k_failure_option_sets[] = {"", "-n", "-b -s", "-v", "-A -n -s"};

/// The words of an option set.
std::vector<std::string> words(const std::string& options) {
  std::vector<std::string> result;
  for (std::size_t start = 0; start < options.size();) {
    std::size_t end = options.find(' ', start);
    if (end == std::string::npos) end = options.size();
    result.push_back(options.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

/// Text with every kind of byte the switches act on: tabs, control and high bytes, runs of
/// empty lines, lines of very different lengths. Deterministic for a given seed.
std::string varied_text(std::size_t size, std::uint32_t seed) {
  std::string text;
  std::uint32_t state = seed;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  while (text.size() < size) {
    const std::uint32_t kind = next() % 10;
    if (kind == 0) {
      text.append(next() % 4, '\n');  // a run of empty lines
    } else if (kind == 1) {
      for (std::uint32_t i = next() % 64; i > 0; --i) text += static_cast<char>(next() % 256);
      text += '\n';
    } else {
      const std::uint32_t length = next() % (kind == 2 ? 3000 : 90);
      for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint32_t pick = next() % 40;
        text += pick == 0   ? '\t'
                : pick == 1 ? '\x01'
                : pick == 2 ? '\x9b'
                            : static_cast<char>('a' + pick % 26);
      }
      text += '\n';
    }
  }
  return text;
}

/// The operands of every run, in a directory that is the program's working directory, so
/// diagnostics name them as given: "a" and "c" small, "b" larger than a block and holding one
/// line longer than a block, standard input a regular file (so reads return what they asked).
class RunnelFaults : public testing::Test {
 protected:
  void SetUp() override {
    m_dir.write("a", "first\t\x01line\n\n\n\nsecond \xff line\n" + varied_text(3000, 1) + "cut");
    m_dir.write("in", "\n\n\n" + varied_text(2000, 2));
    m_dir.write(
        "b", varied_text(150000, 3) + std::string(140000, 'x') + "\n\n\n" + varied_text(20000, 4));
    m_dir.write("c", "tail\twithout newline\x7f");
  }

  /// A run with standard output a pipe, or with `stdout_mode` the file "out", whose contents
  /// are then returned as the output.
  RunResult run(const std::vector<std::string>& options, const std::vector<std::string>& operands,
                const std::vector<std::string>& env = {},
                StdoutMode stdout_mode = StdoutMode::capture) const {
    RunOptions run_options;
    run_options.stdout_mode = stdout_mode;
    run_options.stdout_path = m_dir.file("out");
    run_options.argv0 = "runnel";
    run_options.args = options;
    run_options.args.insert(run_options.args.end(), operands.begin(), operands.end());
    run_options.stdin_mode = StdinMode::file;
    run_options.stdin_path = m_dir.file("in");
    run_options.cwd = m_dir.path();
    run_options.env = env;
    RunResult result = test_support::run_program(RUNNEL_PATH, run_options);
    if (stdout_mode != StdoutMode::capture) result.out = test_support::read_file(m_dir.file("out"));
    return result;
  }

  /// The output of a run without faults, which must itself succeed quietly.
  std::string clean_output(const std::vector<std::string>& options,
                           const std::vector<std::string>& operands) const {
    const RunResult clean = run(options, operands);
    EXPECT_TRUE(clean.exited);
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.err, "");
    return clean.out;
  }

  RunResult run_with(const Fault& fault, const std::vector<std::string>& options,
                     const std::vector<std::string>& operands,
                     StdoutMode stdout_mode = StdoutMode::capture) const {
    return run(options, operands, fault_environment(fault, report()), stdout_mode);
  }

  std::string report() const { return m_dir.file("report"); }

  /// The report of the last run, which is then removed for the next one.
  std::vector<Intervention> take_interventions() const {
    std::vector<Intervention> interventions = read_interventions(report());
    std::remove(report().c_str());
    return interventions;
  }

  TempDir m_dir;
};

/// How many interventions by any of `calls` (names separated by commas) ended with `what`.
std::size_t count(const std::vector<Intervention>& interventions, const std::string& calls,
                  const std::string& what) {
  std::size_t n = 0;
  for (const Intervention& i : interventions)
    if (("," + calls + ",").find("," + i.call + ",") != std::string::npos && i.what == what) ++n;
  return n;
}

/// The first of the calls a fault names: the read or write of the copies' loops.
std::string loop_call(const Fault& fault) { return fault.call.substr(0, fault.call.find(',')); }

const std::vector<std::string> k_operands = {"a", "-", "b", "c"};

TEST_F(RunnelFaults, InterruptedAndShortTransfersChangeNothing) {
  struct Row {
    const char* name;
    Fault fault;
  };
  const Row rows[] = {
      {"EINTR on every other read of b", on_path("b").failing("read,splice", "EINTR", 1, 2)},
      {"EINTR on every other read of stdin", on_fd(0).failing("read,splice", "EINTR", 1, 2)},
      {"EINTR on every other write", on_fd(1).failing("write,splice", "EINTR", 1, 2)},
      {"short reads of b", on_path("b").reads_at_most(1021)},
      {"stdin one byte per read", on_fd(0).reads_at_most(1)},
      {"short writes", on_fd(1).writes_at_most(1021)},
      {"EINTR after partial writes",
       on_fd(1).failing("write,splice", "EINTR", 1, 3).writes_at_most(509)},
      {"EINTR between short reads of b",
       on_path("b").failing("read,splice", "EINTR", 2, 3).reads_at_most(4093)},
  };
  for (const char* option_set : k_option_sets) {
    const std::vector<std::string> options = words(option_set);
    const std::string expected = clean_output(options, k_operands);
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::PrintToString(options) + " " + row.name + ": " + describe(row.fault));
      expect_run(run_with(row.fault, options, k_operands), 0, expected, "");
      const std::vector<Intervention> interventions = take_interventions();
      if (!row.fault.call.empty()) {
        EXPECT_GT(count(interventions, row.fault.call, outcome(row.fault)), 0u) << "never failed";
      }
      if (row.fault.read_max > 0 || row.fault.write_max > 0) {
        const char* limited = row.fault.read_max > 0 ? "read,splice" : "write,splice";
        EXPECT_GT(count(interventions, limited, "short"), 0u) << "never cut a transfer";
      }
      if (row.fault.fd >= 0) {
        for (const Intervention& i : interventions) EXPECT_EQ(i.fd, row.fault.fd) << i.call;
      }
    }
  }
}

TEST_F(RunnelFaults, FailuresGiveTheirDiagnosticAndStatus) {
  m_dir.write("b.head", test_support::read_file(m_dir.file("b")).substr(0, 2 * 4093));
  struct Row {
    const char* name;
    Fault fault;
    std::vector<std::string> operands;
    int status;
    std::string err;
    /// Output expected: that of a clean run over these operands, or, when `prefix` is not
    /// negative, the first `prefix` bytes of a clean run over `operands`.
    std::vector<std::string> clean_operands;
    long prefix = -1;
  };
  // A missing operand after a fatal failure would add its own diagnostic if the program went on.
  const std::vector<std::string> then_missing = {"a", "-", "b", "c", "missing"};
  const std::string no_space = "runnel: write error: No space left on device\n";
  const std::vector<std::string> without_b = {"a", "-", "c"};
  const std::vector<std::string> cut_b = {"a", "-", "b.head", "c"};
  const std::vector<std::string> without_stdin = {"a", "b", "c"};
  const std::vector<std::string> without_c = {"a", "-", "b"};
  const std::vector<std::string> a_and_b = {"a", "b"};
  // A failing device fails every transfer from the first failure on: the loop that takes over
  // from a failed splice meets the failure again.
  const Row rows[] = {
      // Read errors end that operand only; the others are copied.
      {"EIO from the first read of b on", on_path("b").failing("read,splice", "EIO", 1, 1),
       k_operands, 1, "runnel: b: Input/output error\n", without_b},
      {"EIO after two short reads of b",
       on_path("b").failing("read,splice", "EIO", 3, 1).reads_at_most(4093), k_operands, 1,
       "runnel: b: Input/output error\n", cut_b},
      {"EBADF on reading stdin", on_fd(0).failing("read,splice", "EBADF", 1, 1), k_operands, 1,
       "runnel: -: Bad file descriptor\n", without_stdin},
      {"EIO on the last operand", on_path("c").failing("read,splice", "EIO", 1, 1), k_operands, 1,
       "runnel: c: Input/output error\n", without_c},
      {"EIO opening b", on_path("b").failing("open"), k_operands, 1,
       "runnel: b: Input/output error\n", without_b},
      // Write errors end the program at once, with what was written before them.
      {"ENOSPC on the first write", on_fd(1).failing("write,splice", "ENOSPC", 1, 1), then_missing,
       1, no_space, k_operands, 0},
      // Within the first operand: splice also counts the call that meets an operand's end.
      {"ENOSPC after 2999 bytes",
       on_fd(1).failing("write,splice", "ENOSPC", 3000, 1).writes_at_most(1), then_missing, 1,
       no_space, k_operands, 2999},
      {"write returns 0 at once", on_fd(1).failing("write,splice", "0", 1, 1), then_missing, 1,
       no_space, k_operands, 0},
      {"write returns 0 after 999 bytes",
       on_fd(1).failing("write,splice", "0", 1000, 1).writes_at_most(1), then_missing, 1,
       no_space, k_operands, 999},
      {"EBADF on writing", on_fd(1).failing("write,splice", "EBADF", 2000, 1).writes_at_most(1),
       then_missing, 1, "runnel: write error: Bad file descriptor\n", k_operands, 1999},
      // Closing.
      {"close of b fails", on_path("b").failing("close"), k_operands, 1,
       "runnel: b: Input/output error\n", k_operands},
      {"close of the last operand fails", on_path("c").failing("close", "EBADF"), k_operands, 1,
       "runnel: c: Bad file descriptor\n", k_operands},
      {"close of stdin fails", on_fd(0).failing("close"), k_operands, 1,
       "runnel: -: Input/output error\n", k_operands},
      {"close of stdout fails", on_fd(1).failing("close", "ENOSPC"), k_operands, 1, no_space,
       k_operands},
      {"close of stdout fails without stdin", on_fd(1).failing("close"), a_and_b, 1,
       "runnel: write error: Input/output error\n", a_and_b},
  };
  for (const char* option_set : k_failure_option_sets) {
    const std::vector<std::string> options = words(option_set);
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::PrintToString(options) + " " + row.name + ": " + describe(row.fault));
      std::string expected = clean_output(options, row.clean_operands);
      if (row.prefix >= 0) {
        ASSERT_GT(expected.size(), static_cast<std::size_t>(row.prefix));
        expected.resize(static_cast<std::size_t>(row.prefix));
      }
      expect_run(run_with(row.fault, options, row.operands), row.status, expected, row.err);
      // The loop meets the failure once, whether or not a splice met it first.
      EXPECT_EQ(count(take_interventions(), loop_call(row.fault), outcome(row.fault)), 1u);
    }
  }
}

// What the kernel refuses to move by itself, or a call that moves nothing, hands the rest of
// the operand to the read/write loop: the same bytes come out. The first call refused, or every
// third from the second on, with calls cut short so that each operand takes several.
TEST_F(RunnelFaults, RefusedZeroCopyChangesNothing) {
  const std::string expected = clean_output({}, k_operands);
  struct Output {
    StdoutMode mode;
    const char* call;
  };
  const Output outputs[] = {{StdoutMode::capture, "splice"},
                            {StdoutMode::file_replaced, "copy_file_range"}};
  for (const Output& output : outputs) {
    for (const char* error : {"EINVAL", "EXDEV", "ENOSYS", "EOPNOTSUPP", "EBADF", "0"}) {
      for (const Fault& fault : {on_fd(1).failing(output.call, error),
                                 on_fd(1).failing(output.call, error, 2, 3).writes_at_most(4093)}) {
        SCOPED_TRACE(describe(fault));
        expect_run(run_with(fault, {}, k_operands, output.mode), 0, expected, "");
        EXPECT_GT(count(take_interventions(), output.call, outcome(fault)), 0u) << "never failed";
      }
    }
  }
}

// A failure of copy_file_range is met again by the loop, which reports it as its own; one of
// splice likewise, for a reader that went away (the other failures are in the table above).
TEST_F(RunnelFaults, ZeroCopyFailuresAreReportedAsTheLoopMeetsThem) {
  m_dir.write("b.head", test_support::read_file(m_dir.file("b")).substr(0, 4093));
  struct Row {
    Fault fault;
    StdoutMode mode;
    std::string err;
    std::vector<std::string> clean_operands;
    long prefix = -1;
  };
  const Row rows[] = {
      {on_path("b").failing("read,copy_file_range", "EIO", 2, 1).reads_at_most(4093),
       StdoutMode::file_replaced, "runnel: b: Input/output error\n", {"a", "-", "b.head", "c"}},
      {on_fd(1).failing("write,copy_file_range", "ENOSPC", 1, 1), StdoutMode::file_replaced,
       "runnel: write error: No space left on device\n", k_operands, 0},
      {on_fd(1).failing("write,copy_file_range", "EIO", 1000, 1).writes_at_most(1),
       StdoutMode::file_replaced, "runnel: write error: Input/output error\n", k_operands, 999},
      {on_fd(1).failing("write,splice", "EPIPE", 1, 1), StdoutMode::capture,
       "runnel: write error: Broken pipe\n", k_operands, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(describe(row.fault));
    std::string expected = clean_output({}, row.clean_operands);
    if (row.prefix >= 0) expected.resize(static_cast<std::size_t>(row.prefix));
    expect_run(run_with(row.fault, {}, {"a", "-", "b", "c", "missing"}, row.mode), 1, expected,
               row.err + (row.prefix < 0 ? "runnel: missing: No such file or directory\n" : ""));
    const std::vector<Intervention> interventions = take_interventions();
    EXPECT_EQ(count(interventions, loop_call(row.fault), outcome(row.fault)), 1u);
    EXPECT_EQ(count(interventions, row.fault.call.substr(row.fault.call.find(',') + 1),
                    outcome(row.fault)),
              1u);
  }
}

// An output that refuses a write as too long for one message, as a datagram socket does, takes
// the same bytes again in pieces of 512: nothing is lost or written twice, after short writes
// too. A refusal of the pieces is a write error. The formatted copies only: into a pipe the
// plain copy splices.
TEST_F(RunnelFaults, OutputRefusingLongWritesTakesSmallPieces) {
  const std::vector<std::string> then_missing = {"a", "-", "b", "c", "missing"};
  for (const char* option_set : {"-n", "-b -s", "-v", "-A -n -s"}) {
    const std::vector<std::string> options = words(option_set);
    SCOPED_TRACE(option_set);
    const Fault third_refused = on_fd(1).failing("write", "EMSGSIZE", 3).writes_at_most(1021);
    expect_run(run_with(third_refused, options, k_operands), 0, clean_output(options, k_operands),
               "");
    EXPECT_EQ(count(take_interventions(), "write", "EMSGSIZE"), 1u);
    const Fault all_refused = on_fd(1).failing("write", "EMSGSIZE", 1, 1);
    expect_run(run_with(all_refused, options, then_missing), 1, "",
               "runnel: write error: Message too long\n");
    EXPECT_EQ(count(take_interventions(), "write", "EMSGSIZE"), 2u);
  }
}

TEST_F(RunnelFaults, EachDiagnosticIsOneWrite) {
  // The second write to standard error fails. One write a line leaves the first diagnostic
  // whole and loses the second; a line written in parts would come out cut.
  const Fault fault = on_fd(2).failing("write", "EIO", 2);
  expect_run(run_with(fault, {}, {"missing-1", "missing-2"}), 1, "",
             "runnel: missing-1: No such file or directory\n");
  EXPECT_EQ(count(take_interventions(), "write", "EIO"), 1u);
}

TEST_F(RunnelFaults, HelpAndVersionReportStreamErrors) {
  const std::string help = clean_output({"--help"}, {});
  const std::string version = clean_output({"--version"}, {});
  // Each text line by line, to leave out the line whose call fails.
  auto lines = [](const std::string& text) {
    std::vector<std::string> result;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\n', start) + 1;
      result.push_back(text.substr(start, end - start));
      start = end;
    }
    return result;
  };
  auto join = [](const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
    std::string text;
    for (std::size_t i = from; i < to; ++i) text += parts[i];
    return text;
  };
  const std::vector<std::string> h = lines(help);
  const std::vector<std::string> v = lines(version);
  ASSERT_EQ(h.size(), 19u);
  ASSERT_EQ(v.size(), 6u);
  struct Row {
    const char* option;
    const char* call;  // the call that writes the text left out
    std::string out;
  };
  const Row rows[] = {
      {"--help", "printf", join(h, 1, h.size())},                    // the usage line
      {"--help", "fputs", h[0] + join(h, h.size() - 2, h.size())},   // the help text
      {"--help", "puts", join(h, 0, h.size() - 2)},                  // the bug-report line
      {"--version", "fprintf", join(v, 1, v.size())},                // the first line
      {"--version", "fputc", join(v, 0, 2) + join(v, 3, v.size())},  // the empty line
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.option) + " " + row.call);
    const Fault fault = on_fd(1).failing(row.call);
    // The stream's error indicator carries no error number.
    expect_run(run_with(fault, {row.option}, {}), 1, row.out, "runnel: write error\n");
    EXPECT_EQ(count(take_interventions(), row.call, "EIO"), 1u);
  }
}

}  // namespace
