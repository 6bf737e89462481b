// SPDX-License-Identifier: MIT
// pathprobe end to end: both answers with their inverted statuses, and the unusual paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdoutMode;
using test_support::TempDir;
using test_support::expect_run;

const std::string k_program = PATHPROBE_PATH;
const std::string k_exist = "File Exist\r\n";
const std::string k_not_exist = "File Not Exist\r\n";

RunResult pathprobe(const std::vector<std::string>& args, RunOptions options = {}) {
  options.args = args;
  return test_support::run_program(k_program, options);
}

TEST(Pathprobe, AnswersInTextAndInvertedStatus) {
  TempDir dir;
  const std::string file = dir.write("file", "x");
  const std::string empty = dir.write("empty", "");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{file}, 1, k_exist},
      {{empty}, 1, k_exist},
      {{dir.path()}, 1, k_exist},  // a directory opens for reading
      {{file, "ignored", "too"}, 1, k_exist},
      // A FIFO without a writer: answered at once instead of waiting for one.
      {{dir.file("fifo")}, 1, k_exist},
      {{dir.file("missing")}, 0, k_not_exist},
      {{dir.file("file/below-a-file")}, 0, k_not_exist},
      {{""}, 0, k_not_exist},
      {{}, 0, k_not_exist},  // no PATH
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    expect_run(pathprobe(c.args), c.status, c.out);
  }
}

TEST(Pathprobe, UnreadablePathsDoNotExist) {
  TempDir dir;
  const std::string file = dir.write("file", "x");
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  RunOptions options;
  // As root, run as nobody so that permissions apply; otherwise the owner's own do.
  if (test_support::running_as_root())
    options.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  ASSERT_EQ(chmod(dir.path().c_str(), 0), 0);
  if (!test_support::running_as_root() && access(file.c_str(), F_OK) == 0) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  const RunResult unsearchable = pathprobe({file}, options);
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  const RunResult readable = pathprobe({file}, options);
  ASSERT_EQ(chmod(file.c_str(), 0200), 0);  // write-only
  const RunResult unreadable = pathprobe({file}, options);
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
  expect_run(unsearchable, 0, k_not_exist);
  expect_run(readable, 1, k_exist);
  expect_run(unreadable, 0, k_not_exist);
}

// A file under a write lease opens once the lease is broken: it exists, and the probe neither
// waits for the break nor answers otherwise.
TEST(Pathprobe, FileUnderALeaseExists) {
  TempDir dir;
  const std::string file = dir.write("leased", "x");
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // The lease holder is told of the break by SIGIO, whose default would end the test.
  void (*previous)(int) = signal(SIGIO, SIG_IGN);
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    signal(SIGIO, previous);
    close(fd);
    GTEST_SKIP() << "cannot take a write lease here: " << std::strerror(errno);
  }
  expect_run(pathprobe({file}), 1, k_exist);
  fcntl(fd, F_SETLEASE, F_UNLCK);
  close(fd);
  signal(SIGIO, previous);
}

TEST(Pathprobe, LostAnswerIsNeitherStatus) {
  TempDir dir;
  const std::string file = dir.write("file", "x");
  for (StdoutMode mode : {StdoutMode::dev_full, StdoutMode::closed}) {
    SCOPED_TRACE(mode == StdoutMode::closed ? "closed" : "/dev/full");
    RunOptions options;
    options.stdout_mode = mode;
    expect_run(pathprobe({file}, options), 2, "");
    expect_run(pathprobe({dir.file("missing")}, options), 2, "");
  }
}

}  // namespace
