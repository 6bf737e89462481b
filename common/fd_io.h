// SPDX-License-Identifier: MIT
// Descriptor and buffer owners, read/write primitives that survive interrupted calls, and the
// same-file test.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

/// Owns a descriptor: move-only, -1 means empty. Descriptors 0, 1 and 2 are never owned.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  /// Gives up ownership and returns the descriptor.
  int release();
  /// Closes the descriptor now. Returns 0, or -1 with errno set; the object is empty afterwards
  /// either way.
  [[nodiscard]] int close();

 private:
  int m_fd = -1;
};

/// Releases memory obtained with malloc.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using MallocBuffer = std::unique_ptr<char[], FreeDeleter>;

/// True when the two statuses describe the same file: the same device and inode.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Reads at most `size` bytes, repeating the call while it fails with EINTR. Returns the count
/// read (a short count is returned as it is), 0 at end of input or when `size` is 0, or -1 with
/// errno set.
[[nodiscard]] ssize_t read_retrying(int fd, char* buffer, std::size_t size);

/// Reads at most `size` bytes at `offset` without moving the file offset, repeating the call
/// while it fails with EINTR. Returns what pread returns.
[[nodiscard]] ssize_t pread_retrying(int fd, char* buffer, std::size_t size, off_t offset);

/// Writes all `length` bytes, going on after short writes and repeating calls that fail with
/// EINTR. Returns `length`, or -1 with errno set; a write that transfers nothing for a nonzero
/// length counts as a failure with ENOSPC. Bytes written before a failure stay written.
[[nodiscard]] ssize_t write_fully(int fd, const char* buffer, std::size_t length);
