// SPDX-License-Identifier: MIT
// Fuzz target for the bounce address extraction. The input picks two chunk sizes and the size
// of the output buffer; the rest is a bounce report. The addresses written must not depend on
// the chunk size, the output buffer or the row, and must equal those of the plain whole-text
// reference.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bounce_extract.h"
#include "fd_io.h"
#include "queue_rules.h"

namespace {

// A memory file holding `bytes`, at offset 0.
int memory_file(std::string_view bytes) {
  const int fd = memfd_create("fuzz", 0);
  if (fd < 0) std::abort();
  if (write_fully(fd, bytes.data(), bytes.size()) < 0 || lseek(fd, 0, SEEK_SET) != 0)
    std::abort();
  return fd;
}

// Runs the extraction over `report` and returns what it wrote.
std::string engine_extract(std::string_view report, std::size_t chunk_size,
                           std::size_t output_size, const ScanRow* row) {
  const int in = memory_file(report);
  const int out = memory_file("");
  std::vector<char> chunk(chunk_size);
  std::vector<char> buffer(output_size);
  AddressOutput output{out, buffer};
  if (extract_bounced_addresses(in, output, chunk, row) != ExtractResult::done ||
      !flush_output(output))
    std::abort();
  std::string written(static_cast<std::size_t>(lseek(out, 0, SEEK_CUR)), '\0');
  if (pread(out, written.data(), written.size(), 0) != static_cast<ssize_t>(written.size()))
    std::abort();
  close(in);
  close(out);
  return written;
}

std::size_t size_of(std::uint8_t byte) { return 1 + byte % 64 + (byte >= 224 ? 8192 : 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t header[3] = {};
  for (std::size_t i = 0; i < sizeof header && size > 0; ++i, ++data, --size) header[i] = *data;
  std::string_view report(reinterpret_cast<const char*>(data), size);
  const std::string expected = test_support::reference_extract(report);

  for (const ScanRow* row : scan_rows()) {
    if (!cpu_runs(row->needs)) continue;
    for (std::uint8_t chunk : {header[0], header[1]}) {
      if (engine_extract(report, size_of(chunk), size_of(header[2]), row) != expected) {
        std::fprintf(stderr, "chunks of %zu bytes gave other addresses on the %s row\n",
                     size_of(chunk), row->name);
        std::abort();
      }
    }
  }
  return 0;
}
