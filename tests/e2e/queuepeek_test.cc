// SPDX-License-Identifier: MIT
// queuepeek end to end: statuses, exact answers, path resolution, refusals and the samples.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bounce_extract.h"
#include "run_program.h"

namespace {

using namespace std::string_literals;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdoutMode;
using test_support::TempDir;
using test_support::expect_run;
using test_support::unprivileged_wrapper;

const std::string k_program = QUEUEPEEK_PATH;
const std::string k_examples = EXAMPLES_DIR "/queue";

RunResult queuepeek(const std::vector<std::string>& args, RunOptions options = {}) {
  options.args = args;
  return test_support::run_program(k_program, options);
}

bool exists(const std::string& path) {
  struct stat s;
  return lstat(path.c_str(), &s) == 0;
}

TEST(QueuepeekCommandLine, UsageFailuresExitWithTwoAndPrintNothing) {
  TempDir dir;
  const std::string list = dir.write("list", "Da@x\0"s);
  const std::string output = dir.file("never-created");
  const std::vector<std::vector<std::string>> cases = {
      {},      // no MODE
      {"-S"},  // no NAME
      {"-B"},
      {"-D"},
      {"-D", list},  // -D without OUTPUT
      {"-X", list},  // unknown modes
      {"-s", list},
      {"S", list},
      {"-SS", list},
      {"", list},
      {"-S", list, output, "extra"},  // five words, however good the first four
      {"-D", list, output, "extra"},
      {"-X", "a", "b", "c", "d", "e"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_run(queuepeek(args), 2, "");
  }
  EXPECT_FALSE(exists(output)) << "a usage failure touched OUTPUT";
}

TEST(QueuepeekCommandLine, ModesAreExactAndOutputIsIgnoredByTheTallies) {
  TempDir dir;
  const std::string list = dir.write("list", "Ta@x\0Db@y\0Tc@z\0Dd@w\0"s);
  expect_run(queuepeek({"-S", list}), 0, "2:4:4");
  expect_run(queuepeek({"-S", list, dir.file("unused")}), 0, "2:4:4");
  expect_run(queuepeek({"-B", list, dir.file("unused")}), 0, "0");
  EXPECT_FALSE(exists(dir.file("unused")));
}

TEST(QueuepeekPaths, OpenFailuresNameTheResolvedPath) {
  TempDir dir;
  // Resolved under the queue directories; none of these exist on a test machine.
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"-S", "nope"}, "open file error:/var/qmail/queue/remote/nope"},
      {{"-S", "12/qp-no-such-345"}, "open file error:/var/qmail/queue/remote/12/qp-no-such-345"},
      {{"-B", "7/qp-no-such-89"}, "open file error:/var/qmail/queue/bounce/qp-no-such-89"},
      {{"-B", "qp-no-such-89"}, "open file error:/var/qmail/queue/bounce/qp-no-such-89"},
      // Only the part after the first "/" is kept, even when it holds another "/".
      {{"-B", "a/b/qp-no-such"}, "open file error:/var/qmail/queue/bounce/b/qp-no-such"},
      {{"-D", "7/qp-no-such-89", dir.file("out")},
       "open file error:/var/qmail/queue/bounce/qp-no-such-89"},
      // Absolute names are used unchanged in every mode.
      {{"-S", dir.file("missing")}, "open file error:" + dir.file("missing")},
      {{"-B", dir.file("missing")}, "open file error:" + dir.file("missing")},
      // A directory cannot be opened for writing.
      {{"-S", dir.path()}, "open file error:" + dir.path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const std::string path = c.out.substr(std::strlen("open file error:"));
    if (path.rfind("/var/qmail/", 0) == 0) {
      ASSERT_FALSE(exists(path)) << "the test needs " << path << " to be missing";
    }
    expect_run(queuepeek(c.args), 1, c.out);
  }
  EXPECT_FALSE(exists(dir.file("out"))) << "OUTPUT created although the report is missing";
}

TEST(QueuepeekPaths, PathsLongerThan254CharactersAreRefusedWhole) {
  TempDir dir;
  // Absolute names: a file whose path is exactly 254 characters is opened; one of 255 is
  // refused although it exists.
  const std::size_t room = 254 - dir.path().size() - 1;
  const std::string fits = dir.write(std::string(room, 'f'), "Da\0"s);
  const std::string too_long = dir.write(std::string(room + 1, 'g'), "Da\0"s);
  ASSERT_EQ(fits.size(), 254u);
  ASSERT_EQ(too_long.size(), 255u);
  expect_run(queuepeek({"-S", fits}), 0, "1:1:1");
  expect_run(queuepeek({"-S", too_long}), 1, "open file error:" + too_long);
  expect_run(queuepeek({"-D", too_long, dir.file("out")}), 1, "open file error:" + too_long);
  EXPECT_FALSE(exists(dir.file("out")));

  // Relative names: the message holds the whole resolved path, however long.
  const std::string remote = "/var/qmail/queue/remote/";
  const std::string bounce = "/var/qmail/queue/bounce/";
  const std::string part(255 - bounce.size(), 'b');
  expect_run(queuepeek({"-B", "7/" + part}), 1, "open file error:" + bounce + part);
  const std::string huge(5000, 'h');
  expect_run(queuepeek({"-S", "1/" + huge}), 1, "open file error:" + remote + "1/" + huge);
  expect_run(queuepeek({"-S", "/" + huge}), 1, "open file error:/" + huge);
}

TEST(QueuepeekTallies, AnswersWithoutNewline) {
  struct Case {
    const char* mode;
    std::string bytes;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"-S", "Ta@x\0Db@y\0Tc@z\0Dd@w\0"s, "2:4:4"},
      {"-S", "Da@x\0"s, "1:1:1"},
      {"-S", "", "0:0:0"},
      {"-S", "Ta\0T#Dx\0"s, "1:2:2"},
      {"-S", "Tone\0Ttwo\0"s, "0:0:2"},
      {"-B", "<a@x>:\nreason one\n\n<b@y>:\nreason two\n\n", "2"},
      {"-B", ">:\n>:>:\n", "2"},
      {"-B", "", "0"},
      {"-B", "<a@x>:\r\nr\n\n", "0"},
      // -B reads past NUL bytes to the end of the file.
      {"-B", "<a@x>:\n\0<b@y>:\n"s, "2"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + testing::PrintToString(c.bytes));
    const std::string file = dir.write("queue-file", c.bytes);
    expect_run(queuepeek({c.mode, file}), 0, c.out);
    EXPECT_EQ(test_support::read_file(file), c.bytes) << "the queue file changed";
  }
}

TEST(QueuepeekTallies, CountsPastTwoToThe31) {
  // A sparse list of a "D" and 2^31 + 1 NUL bytes: 2^31 + 1 records, more than an int holds.
  // In memory (holes read as zero pages) and inherited by the program, which opens it by
  // its /proc name.
  const int fd = memfd_create("big-list", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "D", 1), 1);
  ASSERT_EQ(ftruncate(fd, (off_t{1} << 31) + 2), 0);
  const RunResult r = queuepeek({"-S", "/proc/self/fd/" + std::to_string(fd)});
  close(fd);
  expect_run(r, 0, "1:1:2147483649");
}

struct Extraction {
  const char* what;
  std::string report;
  std::string addresses;
};

TEST(QueuepeekExtraction, WritesAddressesWithCrLf) {
  const std::vector<Extraction> cases = {
      {"two records", "<a@x>:\nreason one\n\n<b@y>:\nreason two\n\n", "a@x\r\nb@y\r\n"},
      {"one record", "<a@x>:\nreason\n\n", "a@x\r\n"},
      {"local name", "<a@x>:\nr1\n\n<local>:\nr2\n\n<c@z>:\nr3\n\n", "a@x\r\nc@z\r\n"},
      {"record without >: line", "<a@x>:\nr1\n\n<broken\nr2\n\n<c@z>:\nr3\n\n", "a@x\r\nc@z\r\n"},
      {"empty report", "", ""},
      // An empty reason: the separator's first newline ends the ">:" line, so b@y is kept.
      {"empty reasons", "<a@x>:\n\n<b@y>:\n\n<c@z>:\nr\n\n", "a@x\r\nb@y\r\nc@z\r\n"},
      // The text ends at the first NUL.
      {"NUL", "<a@x>:\nr\n\n<b@y>:\nr\0\n\n<c@z>:\nr\n\n"s, "a@x\r\nb@y\r\n"},
      {"reply line ending in >:", "<a@x>:\nsaid <v@w>:\n\n", "a@x\r\n"},
  };
  TempDir dir;
  for (const Extraction& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string report = dir.write("report", c.report);
    const std::string output = dir.write("addresses", "old contents to be replaced");
    expect_run(queuepeek({"-D", report, output}), 0, "");
    EXPECT_EQ(test_support::read_file(output), c.addresses);
    EXPECT_EQ(test_support::read_file(report), c.report) << "the report changed";
  }
}

// Records of 1000 bytes (the first one `pad` bytes longer) whose addresses are r0@x.test,
// r1@x.test, ...: in a report longer than the 512 KiB chunk one of them straddles the chunk
// boundary. The addresses, each with CR LF, go to `addresses`.
std::string numbered_report(std::size_t records, std::size_t pad, std::string& addresses) {
  std::string report;
  for (std::size_t i = 0; i < records; ++i) {
    const std::string address = "r" + std::to_string(i) + "@x.test";
    std::string record = "<" + address + ">:\n";
    record += std::string(1000 - record.size() - 2 + (i == 0 ? pad : 0), 'w') + "\n\n";
    report += record;
    addresses += address + "\r\n";
  }
  return report;
}

// Compares long texts without printing them whole.
void expect_same_text(const std::string& actual, const std::string& expected) {
  const auto mismatch =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  EXPECT_TRUE(actual == expected)
      << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
      << (mismatch.first - actual.begin()) << ": "
      << testing::PrintToString(actual.substr(mismatch.first - actual.begin(), 40)) << " vs "
      << testing::PrintToString(expected.substr(mismatch.second - expected.begin(), 40));
}

TEST(QueuepeekExtraction, ReportsLongerThanOneChunkLoseNoRecord) {
  TempDir dir;
  // Record 524 starts at 524000 + pad, so the boundary at 524288 is its byte 288 - pad:
  // 287 and 283 cut its address (bytes 1 to 11), 276, 275 and 274 put ">", ":" or the newline
  // first in the second chunk, 273 cuts just after it. Record 523 ends with its separator at
  // 523998 + pad: 290, 289 and 288 put the boundary before each of the three bytes.
  for (std::size_t pad : {0, 287, 283, 277, 276, 275, 274, 273, 290, 289, 288}) {
    SCOPED_TRACE("padding " + std::to_string(pad));
    std::string addresses;
    const std::string report_path = dir.write("report", numbered_report(1100, pad, addresses));
    const std::string output = dir.file("addresses");
    expect_run(queuepeek({"-D", report_path, output}), 0, "");
    expect_same_text(test_support::read_file(output), addresses);
  }
}

TEST(QueuepeekExtraction, ReportOfExactlyOneChunk) {
  TempDir dir;
  std::string addresses;
  const std::string report = numbered_report(524, 288, addresses);
  ASSERT_EQ(report.size(), k_bounce_chunk_size);
  const std::string report_path = dir.write("report", report);
  expect_run(queuepeek({"-D", report_path, dir.file("out")}), 0, "");
  expect_same_text(test_support::read_file(dir.file("out")), addresses);
}

TEST(QueuepeekExtraction, NothingAfterTheFirstNulBeyondTheFirstChunk) {
  TempDir dir;
  std::string addresses;
  std::string report = numbered_report(600, 0, addresses);
  // Inside record 524, the one holding the first boundary.
  report[k_bounce_chunk_size + 100] = '\0';
  const std::string report_path = dir.write("report", report);
  expect_run(queuepeek({"-D", report_path, dir.file("out")}), 0, "");
  std::string expected;
  for (int i = 0; i <= 524; ++i) expected += "r" + std::to_string(i) + "@x.test\r\n";
  expect_same_text(test_support::read_file(dir.file("out")), expected);
}

TEST(QueuepeekExtraction, OutputFailures) {
  TempDir dir;
  const std::string report = dir.write("report", "<a@x>:\nr\n\n");
  const std::string no_address = dir.write("local", "<local>:\nr\n\n");
  // OUTPUT that cannot be created.
  const std::string unreachable = dir.file("no-such-directory/out");
  expect_run(queuepeek({"-D", report, unreachable}), 1, "open file error:" + unreachable);
  expect_run(queuepeek({"-D", report, dir.path()}), 1, "open file error:" + dir.path());
  // A failed write, seen when the output is flushed and closed.
  expect_run(queuepeek({"-D", report, "/dev/full"}), 1, "write file error:/dev/full");
  // Nothing to write: nothing fails.
  expect_run(queuepeek({"-D", no_address, "/dev/full"}), 0, "");
  // OUTPUT naming the report would empty it before it is read.
  expect_run(queuepeek({"-D", report, report}), 1, "open file error:" + report);
  EXPECT_EQ(test_support::read_file(report), "<a@x>:\nr\n\n");
}

// A write that fails part-way (here at a file size limit of 4 KiB, with about 30 KiB to write)
// leaves OUTPUT empty rather than holding part of the list; also where SIGXFSZ would kill the
// process at the limit, as after the shell's ulimit -f.
TEST(QueuepeekExtraction, FailedOutputIsLeftEmpty) {
  TempDir dir;
  std::string records;
  for (int i = 0; i < 2000; ++i) records += "<user" + std::to_string(i) + "@x.test>:\nr\n\n";
  const std::string report = dir.write("report", records);
  const std::string output = dir.file("addresses");
  for (const bool file_size_signal : {false, true}) {
    SCOPED_TRACE(file_size_signal ? "SIGXFSZ at its default" : "SIGXFSZ ignored");
    RunOptions options;
    options.file_size_limit = 4096;
    options.file_size_signal = file_size_signal;
    expect_run(queuepeek({"-D", report, output}, options), 1, "write file error:" + output);
    EXPECT_EQ(test_support::read_file(output), "");
  }
}

// A terminal given as the message is refused without becoming the controlling terminal of a
// queuepeek that leads its own session, as from cron or a service manager: at its exit the
// terminal's foreground process group would be sent SIGHUP, and a console hung up.
TEST(QueuepeekFailures, TerminalTakesNoControl) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    GTEST_SKIP() << "no pseudo-terminal here";
  const std::string terminal = ptsname(master);
  int release[2];
  int said[2];
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t leader = fork();
  ASSERT_GE(leader, 0);
  if (leader == 0) {
    // The session's leader runs queuepeek; a companion in its process group says, once let go,
    // whether it outlived the leader's exit.
    setsid();
    if (fork() == 0) {
      signal(SIGHUP, SIG_DFL);
      close(release[1]);
      char byte;
      while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(write(said[1], "alive", 5) == 5 ? 0 : 1);
    }
    dup2(quiet, STDOUT_FILENO);
    execl(QUEUEPEEK_PATH, "queuepeek", "-S", terminal.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(quiet);
  close(release[0]);
  close(said[1]);
  int status = 0;
  ASSERT_EQ(waitpid(leader, &status, 0), leader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
  close(release[1]);
  char answer[8] = {};
  EXPECT_EQ(read(said[0], answer, sizeof answer), 5);
  EXPECT_STREQ(answer, "alive") << "the terminal became queuepeek's controlling terminal";
  close(said[0]);
  close(master);
}

TEST(QueuepeekFailures, ReadErrorsGiveNoAnswer) {
  // Reading /proc/self/mem from offset 0 fails with EIO: the first page is never mapped.
  TempDir dir;
  expect_run(queuepeek({"-S", "/proc/self/mem"}), 1, "read file error:/proc/self/mem");
  expect_run(queuepeek({"-B", "/proc/self/mem"}), 1, "read file error:/proc/self/mem");
  expect_run(queuepeek({"-D", "/proc/self/mem", dir.file("out")}), 1,
             "read file error:/proc/self/mem");
}

TEST(QueuepeekFailures, LostAnswersAreFailures) {
  TempDir dir;
  const std::string list = dir.write("list", "Da@x\0"s);
  const std::string report = dir.write("report", "<a@x>:\nr\n\n");
  std::string many_records;
  for (int i = 0; i < 20000; ++i) many_records += "<r" + std::to_string(i) + "@x.test>:\nr\n\n";
  const std::string many = dir.write("many", many_records);
  for (StdoutMode mode : {StdoutMode::dev_full, StdoutMode::closed}) {
    SCOPED_TRACE(mode == StdoutMode::closed ? "closed" : "/dev/full");
    RunOptions options;
    options.stdout_mode = mode;
    expect_run(queuepeek({"-S", list}, options), 1, "");
    expect_run(queuepeek({"-B", report}, options), 1, "");
    // The message about OUTPUT cannot be printed either.
    expect_run(queuepeek({"-D", report, dir.file("none/out")}, options), 1, "");
    // More addresses than OUTPUT's buffer holds: the write fails, and its message is
    // printed, while the report is still open.
    expect_run(queuepeek({"-D", many, "/dev/full"}, options), 1, "");
    // Nothing is printed on success, so nothing is lost.
    expect_run(queuepeek({"-D", report, dir.file("out")}, options), 0, "");
  }
  // With descriptor 1 closed, the queue files (opened for writing) never received a byte.
  EXPECT_EQ(test_support::read_file(list), "Da@x\0"s);
  EXPECT_EQ(test_support::read_file(report), "<a@x>:\nr\n\n");
  EXPECT_TRUE(test_support::read_file(many) == many_records) << "the report changed";
}

TEST(QueuepeekPermissions, FilesThatCannotBeOpenedForWriting) {
  TempDir dir;
  // As root the program runs as nobody, who must be able to traverse the directory.
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  const std::string read_only = dir.write("read-only", "Da@x\0"s);
  const std::string write_only = dir.write("write-only", "Da@x\0"s);
  ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);
  ASSERT_EQ(chmod(write_only.c_str(), 0222), 0);
  if (!test_support::running_as_root() && access(read_only.c_str(), W_OK) == 0)
    GTEST_SKIP() << "permissions are not enforced for this user";
  RunOptions options;
  options.wrapper = unprivileged_wrapper();
  expect_run(queuepeek({"-S", read_only}, options), 1, "open file error:" + read_only);
  expect_run(queuepeek({"-B", write_only}, options), 1, "open file error:" + write_only);
  // OUTPUT in a directory that may be searched but not written to.
  const std::string writable = dir.write("writable", "<a@x>:\nr\n\n");
  ASSERT_EQ(chmod(writable.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  const RunResult r = queuepeek({"-D", writable, dir.file("new-out")}, options);
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);  // so that TempDir can remove it
  expect_run(r, 1, "open file error:" + dir.file("new-out"));
}

TEST(QueuepeekPermissions, PathsThatCannotBeReached) {
  TempDir dir;
  const std::string list = dir.write("list", "Da@x\0"s);
  ASSERT_EQ(chmod(list.c_str(), 0666), 0);
  RunOptions options;
  options.wrapper = unprivileged_wrapper();
  // A directory nobody may search (as root the program runs as nobody; otherwise the owner's
  // own permissions apply).
  ASSERT_EQ(chmod(dir.path().c_str(), 0), 0);
  if (!test_support::running_as_root() && access(list.c_str(), F_OK) == 0) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  const RunResult hidden = queuepeek({"-S", list}, options);
  // The same file, reachable, is counted: the refusal came from the directory.
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  const RunResult reachable = queuepeek({"-S", list}, options);
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
  expect_run(hidden, 1, "open file error:" + list);
  expect_run(reachable, 0, "1:1:1");
}

// The samples written by a real qmail, copied to a temporary directory because the program
// opens them for writing. Each answer was worked out by hand from the bytes (xxd) and the
// rules, never by running a program:
// - remote/0/1130795 holds six NUL-ended records starting D, D, T, D, D, T ("Dok1@a.test",
//   "Drej1@a.test", "Tdefer1@b.test", "Dok2@b.test", "Dmulti1@c.test", "Tdefer2@c.test"):
//   4 done, the last of them the 5th, 6 records. No "#" in the file.
// - remote/4/1130799 holds D, D, D, D, D, T: 5 done, last the 5th, 6 records.
// - bounce/1130795 has four records, each first line "<address>:" newline; the reply line
//   "...<rej1>: user unknown" has ">:" followed by a space, not a newline: 4.
// - bounce/1130799 has eight records, plus two reason lines that end in ">:" and a newline
//   ("...rejected for <victim@example.net>:" and "line ending with <z@q.example>:"): 10. Its
//   addresses are the eight first lines; the CR (before "line ending") and the high bytes
//   ("Empf\xe4nger", "\xc3\xa9") are inside reasons and change nothing.
class QueuepeekSamples : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy(k_examples, m_dir.path() + "/queue",
                          std::filesystem::copy_options::recursive);
  }
  std::string sample(const std::string& name) const { return m_dir.path() + "/queue/" + name; }
  TempDir m_dir;
};

TEST_F(QueuepeekSamples, Tallies) {
  expect_run(queuepeek({"-S", sample("remote/0/1130795")}), 0, "4:5:6");
  expect_run(queuepeek({"-S", sample("remote/4/1130799")}), 0, "5:5:6");
  expect_run(queuepeek({"-B", sample("bounce/1130795")}), 0, "4");
  expect_run(queuepeek({"-B", sample("bounce/1130799")}), 0, "10");
}

TEST_F(QueuepeekSamples, Extraction) {
  const std::string output = m_dir.file("addresses");
  expect_run(queuepeek({"-D", sample("bounce/1130795"), output}), 0, "");
  EXPECT_EQ(test_support::read_file(output),
            "rej1@a.test\r\nmulti1@c.test\r\ndefer1@b.test\r\ndefer2@c.test\r\n");
  expect_run(queuepeek({"-D", sample("bounce/1130799"), output}), 0, "");
  EXPECT_EQ(test_support::read_file(output),
            "nul1@d.test\r\nhigh1@d.test\r\ncr1@d.test\r\nblank1@d.test\r\nspoof1@d.test\r\n"
            "bob@virt.test\r\nnosuchuser@testhost.example\r\nprogcr@testhost.example\r\n");
}

// Creates files under /var/qmail/queue and removes exactly what it created: the files, and
// the directories that did not exist before, deepest first.
class QueueTree {
 public:
  QueueTree(const QueueTree&) = delete;
  QueueTree& operator=(const QueueTree&) = delete;
  QueueTree() = default;
  ~QueueTree() {
    for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) unlink(it->c_str());
    for (auto it = m_directories.rbegin(); it != m_directories.rend(); ++it) rmdir(it->c_str());
  }
  // Writes `bytes` to `path` (which must not exist), creating missing directories.
  void write(const std::string& path, const std::string& bytes) {
    std::string directory;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      directory = path.substr(0, slash);
      if (mkdir(directory.c_str(), 0755) == 0)
        m_directories.push_back(directory);
      else
        ASSERT_EQ(errno, EEXIST) << directory;
    }
    ASSERT_FALSE(exists(path)) << path << " exists already";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    m_files.push_back(path);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(close(fd), 0);
  }

 private:
  std::vector<std::string> m_directories;
  std::vector<std::string> m_files;
};

// One test for everything under /var/qmail/queue, so that no two test processes create and
// remove the same directories at once.
TEST(QueuepeekQueueDirectories, RelativeNamesResolveIntoTheQueue) {
  if (!test_support::running_as_root())
    GTEST_SKIP() << "creating files under /var/qmail/queue needs root";
  if (std::getenv("QUILLWORKS_TESTS_OWN_FILES_ONLY"))
    GTEST_SKIP() << "QUILLWORKS_TESTS_OWN_FILES_ONLY is set: nothing is written to /var/qmail";
  const std::string name = "qp-test-" + std::to_string(getpid());
  TempDir dir;
  {
    QueueTree tree;
    ASSERT_NO_FATAL_FAILURE(
        tree.write("/var/qmail/queue/remote/12/" + name, "Ta@x\0Db@y\0Tc@z\0Dd@w\0"s));
    ASSERT_NO_FATAL_FAILURE(tree.write("/var/qmail/queue/bounce/" + name,
                                       "<a@x>:\nreason one\n\n<b@y>:\nreason two\n\n"));
    expect_run(queuepeek({"-S", "12/" + name}), 0, "2:4:4");
    expect_run(queuepeek({"-B", "7/" + name}), 0, "2");
    expect_run(queuepeek({"-B", name}), 0, "2");
    expect_run(queuepeek({"-D", "7/" + name, dir.file("out")}), 0, "");
    EXPECT_EQ(test_support::read_file(dir.file("out")), "a@x\r\nb@y\r\n");
    // -S keeps the whole name: "12/" stays part of the path.
    expect_run(queuepeek({"-S", name}), 1, "open file error:/var/qmail/queue/remote/" + name);
    // "/var/qmail/queue/remote/" has 24 characters: a name of 230 makes the longest path that
    // fits, 231 one too long, refused although the file is there.
    const std::string longest = name + std::string(230 - name.size(), 'l');
    const std::string too_long = longest + "m";
    ASSERT_NO_FATAL_FAILURE(tree.write("/var/qmail/queue/remote/" + longest, "Da@x\0"s));
    ASSERT_NO_FATAL_FAILURE(tree.write("/var/qmail/queue/remote/" + too_long, "Da@x\0"s));
    expect_run(queuepeek({"-S", longest}), 0, "1:1:1");
    expect_run(queuepeek({"-S", too_long}), 1,
               "open file error:/var/qmail/queue/remote/" + too_long);
  }
  EXPECT_FALSE(exists("/var/qmail/queue/remote/12/" + name));
  EXPECT_FALSE(exists("/var/qmail/queue/bounce/" + name));
}

}  // namespace
