// SPDX-License-Identifier: MIT
// The shared descriptor primitives and the plain copy: interruption, short transfers, failures.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fd_io.h"
#include "memory_file.h"
#include "plain_copy.h"

namespace {
// The descriptor on which write transfers nothing and reports no error, or -1.
std::atomic<int> g_stalled_fd{-1};
}  // namespace

// Stands in for the C library's write in this test program: every call is passed on to the
// system, except on the descriptor a test has stalled.
extern "C" ssize_t write(int fd, const void* buffer, size_t length) {
  if (fd == g_stalled_fd.load() && length > 0) return 0;
  return syscall(SYS_write, fd, buffer, length);
}

namespace {

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

// Installs a SIGALRM handler without SA_RESTART, so blocked calls fail with EINTR, and fires it
// every few milliseconds for as long as the object lives.
class InterruptingTimer {
 public:
  InterruptingTimer() {
    struct sigaction action = {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &m_old);
    itimerval every{{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~InterruptingTimer() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &m_old, nullptr);
  }

 private:
  struct sigaction m_old;
};

// Keeps the timer's signals away from a helper thread, so they interrupt the call under test.
void block_alarms_in_this_thread() {
  sigset_t alarms;
  sigemptyset(&alarms);
  sigaddset(&alarms, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarms, nullptr);
}

// Why the timer tests cannot run here, or empty. Where the kernel refuses 32-bit programs, they
// run under a user-mode emulator registered with binfmt_misc, which the kernel then uses for
// every 32-bit program. Under it, a thread that has run a signal handler can no longer join
// another (pthread_join fails with EDEADLK), which aborts these tests before they check a thing.
std::string timer_tests_cannot_run() {
  if (sizeof(void*) != 4) return "";
  std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
  std::string state;
  if (!std::getline(entry, state) || state != "enabled") return "";
  return "32-bit programs run under user-mode emulation here, where a thread that has run a "
         "signal handler cannot join another";
}

using test_support::contents;
using test_support::memory_file;

TEST(FdIo, ReadOfSizeZeroCallsNothing) {
  char byte;
  // An invalid descriptor would give EBADF if read were called.
  EXPECT_EQ(read_retrying(-1, &byte, 0), 0);
}

TEST(FdIo, ReadRepeatsInterruptedCalls) {
  if (const std::string why = timer_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  g_alarms = 0;
  InterruptingTimer timer;
  std::thread writer([&] {
    block_alarms_in_this_thread();
    while (g_alarms < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(write(write_end.get(), "xyz", 3), 3);
  });
  char buffer[16];
  ssize_t n = read_retrying(read_end.get(), buffer, sizeof buffer);
  writer.join();
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(FdIo, ReadReturnsShortCountsAndEnd) {
  UniqueFd input = memory_file("abc");
  char buffer[16];
  EXPECT_EQ(pread_retrying(input.get(), buffer, sizeof buffer, 1), 2);
  EXPECT_EQ(std::string(buffer, 2), "bc");
  EXPECT_EQ(read_retrying(input.get(), buffer, sizeof buffer), 3) << "pread moved the offset";
  EXPECT_EQ(read_retrying(input.get(), buffer, sizeof buffer), 0);
  EXPECT_EQ(pread_retrying(input.get(), buffer, sizeof buffer, 3), 0);
}

TEST(FdIo, WriteGoesOnAfterInterruptionsAndPartialWrites) {
  if (const std::string why = timer_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  // Four times a pipe's capacity: the writer blocks, is interrupted and writes in parts.
  std::string data(256 * 1024, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  std::string received;
  std::thread reader([&] {
    block_alarms_in_this_thread();
    char buffer[1000];
    for (;;) {
      const ssize_t n = read(read_end.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  g_alarms = 0;
  {
    InterruptingTimer timer;
    EXPECT_EQ(write_fully(write_end.get(), data.data(), data.size()),
              static_cast<ssize_t>(data.size()));
  }
  ASSERT_EQ(write_end.close(), 0);
  reader.join();
  EXPECT_GT(g_alarms, 0);
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST(FdIo, WriteFailureIsReported) {
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  errno = 0;
  EXPECT_EQ(write_fully(full.get(), "abc", 3), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(write_fully(full.get(), "", 0), 0);
}

// A write that moves nothing for a nonzero length would be retried for ever; it is a failure.
TEST(FdIo, WriteThatTransfersNothingFails) {
  UniqueFd output(memfd_create("stalled", MFD_CLOEXEC));
  UniqueFd input = memory_file("data");
  g_stalled_fd = output.get();
  errno = 0;
  EXPECT_EQ(write_fully(output.get(), "abc", 3), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(write_fully(output.get(), "", 0), 0);
  char buffer[512];
  OutputSink sink{output.get()};
  EXPECT_EQ(copy_plain(input.get(), sink, buffer, sizeof buffer), CopyResult::write_error);
  g_stalled_fd = -1;
}

TEST(PlainCopy, CopiesEveryByteAcrossBlocks) {
  for (std::size_t length : {0, 1, 511, 512, 513, 3 * 512 + 7}) {
    SCOPED_TRACE(length);
    std::string data(length, '\0');
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i % 256);
    UniqueFd input = memory_file(data);
    UniqueFd output = memory_file("");
    char buffer[512];
    OutputSink sink{output.get()};
    EXPECT_EQ(copy_plain(input.get(), sink, buffer, sizeof buffer), CopyResult::done);
    EXPECT_TRUE(contents(output.get()) == data);
  }
}

TEST(PlainCopy, ReportsReadAndWriteFailures) {
  char buffer[512];
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd output = memory_file("");
  OutputSink sink{output.get()};
  errno = 0;
  EXPECT_EQ(copy_plain(directory.get(), sink, buffer, sizeof buffer),
            CopyResult::read_error);
  EXPECT_EQ(errno, EISDIR);

  UniqueFd input = memory_file("data");
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  OutputSink full_sink{full.get()};
  errno = 0;
  EXPECT_EQ(copy_plain(input.get(), full_sink, buffer, sizeof buffer), CopyResult::write_error);
  EXPECT_EQ(errno, ENOSPC);
}

TEST(UniqueFdTest, CloseReportsAndEmpties) {
  UniqueFd fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  EXPECT_EQ(fd.close(), 0);
  EXPECT_FALSE(fd);
  EXPECT_EQ(fd.close(), 0);
  UniqueFd bogus(1000000);
  EXPECT_EQ(bogus.close(), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
