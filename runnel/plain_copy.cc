// The plain copy.
#include "plain_copy.h"

#include "fd_io.h"

CopyResult copy_plain(int input_fd, int output_fd, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = read_retrying(input_fd, buffer, size);
    if (n < 0) return CopyResult::read_error;
    if (n == 0) return CopyResult::done;
    if (write_fully(output_fd, buffer, static_cast<std::size_t>(n)) < 0)
      return CopyResult::write_error;
  }
}
