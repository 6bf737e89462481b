// SPDX-License-Identifier: MIT
// pathprobe: tells whether a path can be opened for reading, in text and in the exit status.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Exit statuses. Inverted against the usual convention, as callers of this probe expect: the
// status is itself the answer.
constexpr int k_exit_not_exist = 0;
constexpr int k_exit_exist = 1;
// The answer could not be written to standard output. Neither 0 nor 1: a caller must not take
// a lost answer for either.
constexpr int k_exit_no_answer = 2;

// Standard output's buffer. The default one comes from malloc after an fstat and an ioctl of
// descriptor 1: start-up work that a one-line answer does not need.
char stdout_buffer[64];

}  // namespace

int main(int argc, char** argv) {
  static_cast<void>(std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer));
  // Arguments after PATH are ignored; without PATH nothing can be opened.
  bool exists = false;
  if (argc >= 2) {
    // What a read-only stream open does, without its two ways of hanging or of taking over a
    // terminal: O_NONBLOCK returns at once for a FIFO without a writer (or a line without
    // carrier), and O_NOCTTY keeps a terminal from becoming the controlling one.
    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      exists = true;
      // Nothing was read or written: a failing close cannot change the answer.
      static_cast<void>(close(fd));
    } else if (errno == EWOULDBLOCK) {
      // A file under another process's write lease: a blocking open would wait for the lease
      // to be broken and then succeed.
      exists = true;
    }
  }
  std::fputs(exists ? "File Exist\r\n" : "File Not Exist\r\n", stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return k_exit_no_answer;
  return exists ? k_exit_exist : k_exit_not_exist;
}
