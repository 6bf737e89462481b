// SPDX-License-Identifier: MIT
// The plain copy.
#include "plain_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

ssize_t write_output(OutputSink& output, const char* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const std::size_t left = length - done;
    const std::size_t piece = left < output.max_write ? left : output.max_write;
    const ssize_t n = ::write(output.fd, buffer + done, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Too long for one datagram: nothing of it was sent. 512 bytes, the block size of old,
      // fit any datagram protocol; larger pieces would save little on such an output.
      if (errno == EMSGSIZE && output.max_write > k_small_write) {
        output.max_write = k_small_write;
        continue;
      }
      return -1;
    }
    if (n == 0) {
      // Nothing moved and no error given: retrying could spin for ever.
      errno = ENOSPC;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool read_back_offsets(int input_fd, int output_fd, ReadBack& at) {
  struct stat status;
  at.input = lseek(input_fd, 0, SEEK_CUR);
  if (at.input < 0 || fstat(input_fd, &status) != 0) return false;
  at.size = status.st_size;
  const int flags = fcntl(output_fd, F_GETFL);
  if (flags < 0) return false;
  // An output opened for appending may not have written yet: its offset says nothing then.
  at.output = (flags & O_APPEND) != 0 ? at.size : lseek(output_fd, 0, SEEK_CUR);
  return at.output >= 0;
}

bool copy_reads_its_output(int input_fd, int output_fd) {
  ReadBack at;
  return read_back_offsets(input_fd, output_fd, at) && at.input < at.size &&
         at.output > at.input;
}

CopyResult copy_plain(int input_fd, OutputSink& output, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = read_retrying(input_fd, buffer, size);
    if (n < 0) return CopyResult::read_error;
    if (n == 0) return CopyResult::done;
    if (write_output(output, buffer, static_cast<std::size_t>(n)) < 0)
      return CopyResult::write_error;
  }
}

ZeroCopy zero_copy_between(const struct stat& input, const struct stat& output) {
  if (S_ISFIFO(output.st_mode) && (S_ISREG(input.st_mode) || S_ISFIFO(input.st_mode)))
    return ZeroCopy::splice;
  if (S_ISREG(output.st_mode) && S_ISREG(input.st_mode)) return ZeroCopy::copy_file_range;
  return ZeroCopy::none;
}

void grow_pipe(int fd) { static_cast<void>(fcntl(fd, F_SETPIPE_SZ, k_pipe_size)); }

namespace {

/// Most bytes asked of one zero-copy call. The kernel moves less into a pipe with less room,
/// and caps a copy between files at just under 2 GiB.
constexpr std::size_t k_zero_copy_chunk = 1 << 30;

/// Moves bytes from `input_fd` to `output_fd` with `how` until a call moves none or fails, and
/// leaves the rest to the read/write loop. Neither is trusted to mean the end: files under
/// /proc and /sys claim sizes they do not hold, and some file systems answer 0 to a copy they
/// do not support. Nor is a failure reported here; the loop meets it again if it persists.
void move_in_kernel(int input_fd, int output_fd, ZeroCopy how) {
  for (;;) {
    const ssize_t n =
        how == ZeroCopy::splice
            ? splice(input_fd, nullptr, output_fd, nullptr, k_zero_copy_chunk, 0)
            : copy_file_range(input_fd, nullptr, output_fd, nullptr, k_zero_copy_chunk, 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

CopyResult copy_plain(int input_fd, OutputSink& output, ZeroCopy how, char* buffer,
                      std::size_t size) {
  if (how != ZeroCopy::none) move_in_kernel(input_fd, output.fd, how);
  return copy_plain(input_fd, output, buffer, size);
}

MallocBuffer page_aligned_buffer(std::size_t size) {
  // Page-aligned: reads into a buffer that starts 16 bytes into a page (where malloc puts large
  // blocks) measured 25% slower from the page cache. posix_memalign takes any size, so the
  // buffer ends where asked and AddressSanitizer sees a store past it.
  constexpr std::size_t page = 4096;
  void* memory = nullptr;
  if (posix_memalign(&memory, page, size) != 0) return nullptr;
  return MallocBuffer(static_cast<char*>(memory));
}
