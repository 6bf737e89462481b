// Fuzz target for the bounce address extraction. The input picks two chunk sizes; the rest is a
// bounce report. The addresses written must not depend on the chunk size, nor on whether the
// report can be read again (a regular file) or only once (a stream without a descriptor), and
// must equal those of the plain whole-text reference.
#include <sys/mman.h>
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

// Runs the extraction over `report` and returns what it wrote.
std::string engine_extract(std::FILE* report, std::size_t chunk_size) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* output = open_memstream(&text, &length);
  if (output == nullptr) std::abort();
  std::vector<char> chunk(chunk_size);
  ExtractResult result = extract_bounced_addresses(report, output, chunk);
  if (result != ExtractResult::done || std::fclose(output) != 0) std::abort();
  std::string written(text, length);
  std::free(text);
  return written;
}

// A report in a memory file: a regular file with a descriptor, so cut addresses are read again.
std::FILE* open_as_file(std::string_view bytes) {
  int fd = memfd_create("report", 0);
  if (fd < 0) std::abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  if (lseek(fd, 0, SEEK_SET) != 0) std::abort();
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) std::abort();
  return file;
}

// A report behind a stream without a descriptor, so cut addresses must be kept in memory.
struct StreamSource {
  std::string_view bytes;
  std::size_t position = 0;
  std::size_t limit = 0;  // longest read served, so reads come back short
};

ssize_t read_source(void* cookie, char* buffer, size_t size) {
  auto* source = static_cast<StreamSource*>(cookie);
  std::size_t count = std::min({size, source->bytes.size() - source->position, source->limit});
  std::memcpy(buffer, source->bytes.data() + source->position, count);
  source->position += count;
  return static_cast<ssize_t>(count);
}

std::size_t chunk_size_of(std::uint8_t byte) { return 1 + byte % 64 + (byte >= 224 ? 8192 : 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t header[3] = {};
  for (std::size_t i = 0; i < sizeof header && size > 0; ++i, ++data, --size) header[i] = *data;
  std::string_view report(reinterpret_cast<const char*>(data), size);
  const std::string expected = test_support::reference_extract(report);

  std::FILE* file = open_as_file(report);
  std::string from_file = engine_extract(file, chunk_size_of(header[0]));
  std::fclose(file);
  if (from_file != expected) {
    std::fprintf(stderr, "a regular-file report gave other addresses\n");
    std::abort();
  }

  StreamSource source{report, 0, 1 + header[2] % 32u};
  cookie_io_functions_t functions{};
  functions.read = read_source;
  std::FILE* stream = fopencookie(&source, "r", functions);
  if (stream == nullptr) std::abort();
  std::string from_stream = engine_extract(stream, chunk_size_of(header[1]));
  std::fclose(stream);
  if (from_stream != expected) {
    std::fprintf(stderr, "a report read once gave other addresses\n");
    std::abort();
  }
  return 0;
}
