// SPDX-License-Identifier: MIT
// Memory files for the unit tests: descriptors that hold given bytes, and their contents.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "fd_io.h"

namespace test_support {

/// A file in memory holding `bytes`, open for reading and writing at offset 0.
inline UniqueFd memory_file(std::string_view bytes) {
  UniqueFd fd(memfd_create("unit-test", MFD_CLOEXEC));
  if (!fd) throw std::runtime_error("memfd_create failed");
  if (write_fully(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("memory file write failed");
  lseek(fd.get(), 0, SEEK_SET);
  return fd;
}

/// Everything the file open as `fd` holds, from offset 0 on.
inline std::string contents(int fd) {
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

}  // namespace test_support
