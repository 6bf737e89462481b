// SPDX-License-Identifier: MIT
// Bad input for all three programs: operands of every awkward kind and name, queue names that
// try to leave the queue or do not fit, output that cannot take the list. Each case has its
// message and status, and nothing around the bad input may be lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"

namespace {

using namespace std::string_literals;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdoutMode;
using test_support::TempDir;
using test_support::expect_run;
using test_support::read_file;

RunResult run(const std::string& program, std::vector<std::string> args,
              RunOptions options = {}) {
  options.args = std::move(args);
  if (program == RUNNEL_PATH) options.argv0 = "runnel";
  return test_support::run_program(program, options);
}

// File names that a shell or a terminal would trip over; the programs take them as bytes.
const std::vector<std::string> k_awkward_names = {
    "two words", " leading space", "line\nbreak", "tab\there", "latin1-\xe9t\xe9",
    "bad-utf8-\xc3\x28", "\xff\xfe", "-not-an-option", "quote'and\"dquote", "*?[glob]",
};

// Writes to a FIFO from another thread, as a producer process would, once the program opens it
// for reading. Gives up after ten seconds without a reader, so a failing program cannot hang
// the test.
class FifoWriter {
 public:
  FifoWriter(std::string path, std::string bytes)
      : m_thread([path = std::move(path), bytes = std::move(bytes)] {
          int fd = -1;
          for (int tries = 0; fd < 0 && tries < 10000; ++tries) {
            fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          if (fd < 0) return;
          fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
          if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << "short write to the FIFO";
          close(fd);
        }) {}
  ~FifoWriter() { m_thread.join(); }

 private:
  std::thread m_thread;
};

TEST(BadInput, RunnelOperandsOfEveryKind) {
  TempDir dir;
  const std::string before = dir.write("before", "first\n");
  const std::string after = dir.write("after", "last\n");
  const std::string dangling = dir.file("dangling");
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
  const std::string loop = dir.file("loop");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  const std::string empty = dir.write("empty", "");
  const std::string no_newline = dir.write("no-newline", "tail");
  struct Row {
    const char* what;
    std::string operand;
    std::string out;  // between the two good operands
    std::string err;
    int status;
  };
  const Row rows[] = {
      {"directory", dir.path(), "", "runnel: " + dir.path() + ": Is a directory\n", 1},
      {"dangling symlink", dangling, "", "runnel: " + dangling + ": No such file or directory\n",
       1},
      {"symlink loop", loop, "", "runnel: " + loop + ": Too many levels of symbolic links\n", 1},
      {"empty file", empty, "", "", 0},
      {"no final newline", no_newline, "tail", "", 0},
      {"missing", dir.file("missing"),
       "", "runnel: " + dir.file("missing") + ": No such file or directory\n", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    expect_run(run(RUNNEL_PATH, {before, row.operand, after}), row.status,
               "first\n" + row.out + "last\n", row.err);
    // The formatted copy meets the same failures the same way.
    std::string numbered = "     1\tfirst\n";
    numbered += row.out.empty() ? "     2\tlast\n" : "     2\t" + row.out + "last\n";
    expect_run(run(RUNNEL_PATH, {"-n", before, row.operand, after}), row.status, numbered,
               row.err);
  }
}

TEST(BadInput, RunnelReadsFifos) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string after = dir.write("after", "after\n");
  {
    FifoWriter writer(fifo, "through\n\n\nthe fifo\n");
    expect_run(run(RUNNEL_PATH, {fifo, after}), 0, "through\n\n\nthe fifo\nafter\n");
  }
  {
    FifoWriter writer(fifo, "through\n\n\nthe fifo");
    expect_run(run(RUNNEL_PATH, {"-sn", fifo, after}), 0,
               "     1\tthrough\n     2\t\n     3\tthe fifoafter\n");
  }
}

TEST(BadInput, RunnelNamesAreReportedAsGiven) {
  TempDir dir;
  for (const std::string& name : k_awkward_names) {
    SCOPED_TRACE(testing::PrintToString(name));
    // A missing file: the diagnostic holds the name byte for byte.
    const std::string missing = dir.file("missing " + name);
    expect_run(run(RUNNEL_PATH, {"--", missing}), 1, "",
               "runnel: " + missing + ": No such file or directory\n");
    // An existing one is copied.
    const std::string present = dir.write(name, "content of " + name + "\n");
    expect_run(run(RUNNEL_PATH, {"--", present}), 0, "content of " + name + "\n");
  }
  // A relative name is printed as given, not made absolute.
  RunOptions options;
  options.cwd = dir.path();
  expect_run(run(RUNNEL_PATH, {"nope dir/x\n"}, options), 1, "",
             "runnel: nope dir/x\n: No such file or directory\n");
}

TEST(BadInput, QueuepeekNamesAreUsedAsGiven) {
  TempDir dir;
  for (const std::string& name : k_awkward_names) {
    SCOPED_TRACE(testing::PrintToString(name));
    const std::string missing = dir.file("missing " + name);
    for (const char* mode : {"-S", "-B"})
      expect_run(run(QUEUEPEEK_PATH, {mode, missing}), 1, "open file error:" + missing);
    const std::string list = dir.write(name, "Da\0Tb\0"s);
    expect_run(run(QUEUEPEEK_PATH, {"-S", list}), 0, "1:1:2");
    const std::string output = dir.file("out " + name);
    const std::string report = dir.write("report " + name, "<a@x>:\nr\n\n");
    expect_run(run(QUEUEPEEK_PATH, {"-D", report, output}), 0, "");
    EXPECT_EQ(read_file(output), "a@x\r\n");
  }
}

TEST(BadInput, QueueNamesThatLeaveTheQueueOrDoNotFit) {
  TempDir dir;
  const std::string output = dir.file("out");
  const std::string remote = "/var/qmail/queue/remote/";
  const std::string bounce = "/var/qmail/queue/bounce/";
  const std::string long_name(300, 'n');
  struct Row {
    const char* what;
    std::vector<std::string> args;
    std::string out;
  };
  // The names are joined to the queue directories as they are: ".." is not resolved, and an
  // empty name leaves the directory itself, which cannot be opened for writing.
  const Row rows[] = {
      {"dot-dot", {"-S", "../qp-no-such"}, "open file error:" + remote + "../qp-no-such"},
      {"dot-dot in the part", {"-B", "7/../qp-no-such"},
       "open file error:" + bounce + "../qp-no-such"},
      {"dot-dot in -D", {"-D", "../../qp-no-such", output},
       "open file error:" + bounce + "../qp-no-such"},
      {"empty -S", {"-S", ""}, "open file error:" + remote},
      {"empty -B", {"-B", ""}, "open file error:" + bounce},
      {"empty -D", {"-D", "", output}, "open file error:" + bounce},
      {"slash only", {"-B", "/"}, "open file error:/"},
      {"300 characters -S", {"-S", long_name}, "open file error:" + remote + long_name},
      {"300 characters -B", {"-B", "1/" + long_name}, "open file error:" + bounce + long_name},
      {"300 characters -D", {"-D", long_name, output}, "open file error:" + bounce + long_name},
      {"300 characters absolute", {"-S", "/" + long_name}, "open file error:/" + long_name},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    expect_run(run(QUEUEPEEK_PATH, row.args), 1, row.out);
    EXPECT_NE(access(output.c_str(), F_OK), 0) << "OUTPUT created for a report never opened";
  }
  // An absolute name with ".." in it is an ordinary path.
  const std::string list = dir.write("list", "Da\0"s);
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  expect_run(run(QUEUEPEEK_PATH, {"-S", dir.file("sub/../list")}), 0, "1:1:1");
  EXPECT_EQ(read_file(list), "Da\0"s);
}

TEST(BadInput, QueuepeekTakesOnlyRegularQueueFiles) {
  TempDir dir;
  // A FIFO holding a list: opened for reading and writing, it would never end.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string output = dir.file("out");
  for (const char* mode : {"-S", "-B"})
    expect_run(run(QUEUEPEEK_PATH, {mode, fifo}), 1, "open file error:" + fifo);
  expect_run(run(QUEUEPEEK_PATH, {"-D", fifo, output}), 1, "open file error:" + fifo);
  EXPECT_NE(access(output.c_str(), F_OK), 0) << "OUTPUT created for a report never read";
  // Devices are no queue files either.
  expect_run(run(QUEUEPEEK_PATH, {"-S", "/dev/null"}), 1, "open file error:/dev/null");
  expect_run(run(QUEUEPEEK_PATH, {"-B", "/dev/zero"}), 1, "open file error:/dev/zero");
}

TEST(BadInput, QueuepeekOutputThatIsAFifo) {
  TempDir dir;
  const std::string report = dir.write("report", "<a@x>:\nr\n\n<b@y>:\nr\n\n");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Without a reader the list would go nowhere: refused at once rather than waited for.
  expect_run(run(QUEUEPEEK_PATH, {"-D", report, fifo}), 1, "open file error:" + fifo);
  // With a reader, the reader gets the list.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  expect_run(run(QUEUEPEEK_PATH, {"-D", report, fifo}), 0, "");
  char buffer[256];
  const ssize_t n = read(reader, buffer, sizeof buffer);
  close(reader);
  ASSERT_GE(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "a@x\r\nb@y\r\n");
  EXPECT_EQ(read_file(report), "<a@x>:\nr\n\n<b@y>:\nr\n\n");
}

TEST(BadInput, QueuepeekOutputThatIsTheReportUnderAnotherName) {
  TempDir dir;
  const std::string bytes = "<a@x>:\nr\n\n";
  const std::string report = dir.write("report", bytes);
  const std::string symbolic = dir.file("symbolic");
  ASSERT_EQ(symlink(report.c_str(), symbolic.c_str()), 0);
  const std::string hard = dir.file("hard");
  ASSERT_EQ(link(report.c_str(), hard.c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  for (const std::string& output : {symbolic, hard, dir.file("sub/../report")}) {
    SCOPED_TRACE(output);
    expect_run(run(QUEUEPEEK_PATH, {"-D", report, output}), 1, "open file error:" + output);
    EXPECT_EQ(read_file(report), bytes);
  }
  // The other way round: the report named by the link, OUTPUT by the real name.
  expect_run(run(QUEUEPEEK_PATH, {"-D", symbolic, report}), 1, "open file error:" + report);
  EXPECT_EQ(read_file(report), bytes);
}

TEST(BadInput, PathprobeAwkwardPaths) {
  TempDir dir;
  const std::string dangling = dir.file("dangling");
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : k_awkward_names) {
    SCOPED_TRACE(testing::PrintToString(name));
    expect_run(run(PATHPROBE_PATH, {dir.file("missing " + name)}), 0, "File Not Exist\r\n");
    expect_run(run(PATHPROBE_PATH, {dir.write(name, "x")}), 1, "File Exist\r\n");
  }
  expect_run(run(PATHPROBE_PATH, {dangling}), 0, "File Not Exist\r\n");
  expect_run(run(PATHPROBE_PATH, {""}), 0, "File Not Exist\r\n");
  expect_run(run(PATHPROBE_PATH, {std::string(5000, 'p')}), 0, "File Not Exist\r\n");
  expect_run(run(PATHPROBE_PATH, {fifo}), 1, "File Exist\r\n");
}

// A small file system of its own, so that writes really meet a full device. Needs root and
// permission to mount; the tests say so when they cannot have it.
class FullDevice {
 public:
  explicit FullDevice(const std::string& path) : m_path(path) {
    if (mount("quillworks-test", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
              "size=16k,mode=0755") == 0)
      m_mounted = true;
    else
      m_error = std::strerror(errno);
  }
  ~FullDevice() {
    if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
  }
  bool mounted() const { return m_mounted; }
  const std::string& error() const { return m_error; }

 private:
  std::string m_path;
  bool m_mounted = false;
  std::string m_error;
};

TEST(BadInput, OutputOnAFullDevice) {
  TempDir dir;
  const std::string mount_point = dir.file("small");
  ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
  FullDevice device(mount_point);
  if (!device.mounted()) GTEST_SKIP() << "cannot mount a small file system: " << device.error();

  std::string records;
  for (int i = 0; i < 3000; ++i) records += "<user" + std::to_string(i) + "@x.test>:\nr\n\n";
  const std::string report = dir.write("report", records);
  struct stat before;
  ASSERT_EQ(stat(report.c_str(), &before), 0);

  // queuepeek: the list does not fit; OUTPUT is left empty, never holding part of the list.
  const std::string output = mount_point + "/addresses";
  expect_run(run(QUEUEPEEK_PATH, {"-D", report, output}), 1, "write file error:" + output);
  EXPECT_EQ(read_file(output), "");
  EXPECT_EQ(read_file(report), records);
  struct stat after;
  ASSERT_EQ(stat(report.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

  // runnel: standard output on the full device is a write error, status 1, at once.
  RunOptions options;
  options.stdout_mode = StdoutMode::file;
  options.stdout_path = mount_point + "/copy";
  for (const char* option : {"-u", "-n"}) {
    SCOPED_TRACE(option);
    unlink(options.stdout_path.c_str());
    expect_run(run(RUNNEL_PATH, {option, report, report}, options), 1, "",
               "runnel: write error: No space left on device\n");
  }
}

// Times past 2038-01-19 do not fit a 32-bit time_t: a file with any of them must still be read
// and written as any other, on 32-bit builds too.
TEST(BadInput, FilesDatedAfter2038) {
  TempDir dir;
  const std::string list = dir.write("list", "Ta@x\0Db@y\0Tc@z\0Dd@w\0"s);
  const std::string text = dir.write("text", "one\n");
  const std::string copy = dir.write("copy", "");
  const timespec y2040[2] = {{2208988800, 0}, {2208988800, 0}};  // 2040-01-01
  for (const std::string& path : {list, text, copy})
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), y2040, 0), 0) << path;

  expect_run(run(QUEUEPEEK_PATH, {"-S", list}), 0, "2:4:4");
  expect_run(run(RUNNEL_PATH, {"-n", text}), 0, "     1\tone\n");
  RunOptions options;
  options.stdout_mode = StdoutMode::file;
  options.stdout_path = copy;
  expect_run(run(RUNNEL_PATH, {text}, options), 0, "");
  EXPECT_EQ(read_file(copy), "one\n");
}

}  // namespace
