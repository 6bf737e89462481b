// SPDX-License-Identifier: MIT
// Fuzz target for the bounce address extraction. The input picks two chunk sizes; the rest is a
// bounce report. The addresses written must not depend on the chunk size, nor on whether the
// report can be read again (a regular file) or only once (a descriptor that is no file, read in
// short slices), nor on the row, and must equal those of the plain whole-text reference.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bounce_extract.h"
#include "queue_rules.h"

namespace {

// A descriptor that exists only in this target: reads of it are served from g_stream in slices
// of at most g_stream_limit bytes. It is no file, so cut addresses must be kept in memory.
constexpr int k_stream_fd = 9001;
std::string_view g_stream;
std::size_t g_stream_position = 0;
std::size_t g_stream_limit = 1;

// Runs the extraction over the descriptor `report` and returns what it wrote.
std::string engine_extract(int report, std::size_t chunk_size, const ScanRow* row) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* output = open_memstream(&text, &length);
  if (output == nullptr) std::abort();
  std::vector<char> chunk(chunk_size);
  ExtractResult result = extract_bounced_addresses(report, output, chunk, row);
  if (result != ExtractResult::done || std::fclose(output) != 0) std::abort();
  std::string written(text, length);
  std::free(text);
  return written;
}

// A report in a memory file: a regular file, so cut addresses are read again.
int open_as_file(std::string_view bytes) {
  int fd = memfd_create("report", 0);
  if (fd < 0) std::abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  if (lseek(fd, 0, SEEK_SET) != 0) std::abort();
  return fd;
}

std::size_t chunk_size_of(std::uint8_t byte) { return 1 + byte % 64 + (byte >= 224 ? 8192 : 0); }

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  if (fd != k_stream_fd) return syscall(SYS_read, fd, buffer, size);
  std::size_t count = std::min({size, g_stream.size() - g_stream_position, g_stream_limit});
  std::memcpy(buffer, g_stream.data() + g_stream_position, count);
  g_stream_position += count;
  return static_cast<ssize_t>(count);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t header[3] = {};
  for (std::size_t i = 0; i < sizeof header && size > 0; ++i, ++data, --size) header[i] = *data;
  std::string_view report(reinterpret_cast<const char*>(data), size);
  const std::string expected = test_support::reference_extract(report);

  for (const ScanRow* row : scan_rows()) {
    if (!runs(*row)) continue;
    const int file = open_as_file(report);
    std::string from_file = engine_extract(file, chunk_size_of(header[0]), row);
    close(file);
    if (from_file != expected) {
      std::fprintf(stderr, "a regular-file report gave other addresses on the %s row\n",
                   row->name);
      std::abort();
    }

    g_stream = report;
    g_stream_position = 0;
    g_stream_limit = header[2] >= 224 ? 8192 : 1 + header[2] % 32u;
    std::string from_stream = engine_extract(k_stream_fd, chunk_size_of(header[1]), row);
    if (from_stream != expected) {
      std::fprintf(stderr, "a report read once gave other addresses on the %s row\n",
                   row->name);
      std::abort();
    }
  }
  return 0;
}
