// SPDX-License-Identifier: MIT
// Descriptor owner and the retrying read/write primitives.
#include "fd_io.h"

#include <unistd.h>

#include <cerrno>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (m_fd >= 0) {
    int saved = errno;
    ::close(m_fd);
    errno = saved;
  }
}

int UniqueFd::release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

int UniqueFd::close() {
  int fd = release();
  return fd < 0 ? 0 : ::close(fd);
}

ssize_t read_retrying(int fd, char* buffer, std::size_t size) {
  if (size == 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t pread_retrying(int fd, char* buffer, std::size_t size, off_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, offset);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t write_fully(int fd, const char* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, buffer + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
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
