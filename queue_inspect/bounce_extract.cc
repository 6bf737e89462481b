// Bounce address extraction: records found across chunk boundaries as in one whole text.
#include "bounce_extract.h"

#include <cstring>

bool CarriedBytes::append(const char* bytes, std::size_t length) {
  if (length > m_capacity - m_size) {
    std::size_t capacity = m_capacity == 0 ? 256 : m_capacity;
    while (capacity - m_size < length) {
      if (capacity > SIZE_MAX / 2) return false;
      capacity *= 2;
    }
    MallocBuffer grown(static_cast<char*>(std::malloc(capacity)));
    if (!grown) return false;
    if (m_size > 0) std::memcpy(grown.get(), m_data.get(), m_size);
    m_data = std::move(grown);
    m_capacity = capacity;
  }
  std::memcpy(m_data.get() + m_size, bytes, length);
  m_size += length;
  return true;
}

namespace {

bool write_bytes(std::FILE* output, const char* bytes, std::size_t length) {
  return length == 0 || std::fwrite(bytes, 1, length, output) == length;
}

bool has_at(const char* bytes, std::size_t length) {
  return length > 0 && std::memchr(bytes, '@', length) != nullptr;
}

// Writes the address [scan.address_start, end) of the stream, whose part before `base` (the
// offset of `chunk`) is in scan.carried.
bool write_address(const BounceScan& scan, const char* chunk, std::uint64_t base, std::uint64_t end,
                   std::FILE* output) {
  const char* head = nullptr;
  std::size_t head_length = 0;
  const char* tail = nullptr;
  std::size_t tail_length = 0;
  if (scan.address_start >= base) {
    tail = chunk + (scan.address_start - base);
    tail_length = static_cast<std::size_t>(end - scan.address_start);
  } else if (end >= base) {
    head = scan.carried.data();
    head_length = scan.carried.size();
    tail = chunk;
    tail_length = static_cast<std::size_t>(end - base);
  } else {
    // The ">" of ">:" is itself among the carried bytes.
    head = scan.carried.data();
    head_length = static_cast<std::size_t>(end - scan.address_start);
  }
  if (!has_at(head, head_length) && !has_at(tail, tail_length)) return true;
  return write_bytes(output, head, head_length) && write_bytes(output, tail, tail_length) &&
         write_bytes(output, "\r\n", 2);
}

void start_record(BounceScan& scan, std::uint64_t address_start) {
  ++scan.records_seen;
  scan.in_address = true;
  scan.address_start = address_start;
  scan.carried.clear();
}

}  // namespace

ExtractResult scan_bounce_chunk(BounceScan& scan, std::span<const char> chunk, std::FILE* output) {
  if (scan.text_ended || chunk.empty()) return ExtractResult::done;
  const char* p = chunk.data();
  std::size_t n = chunk.size();
  if (const void* nul = std::memchr(p, '\0', n)) {
    n = static_cast<std::size_t>(static_cast<const char*>(nul) - p);
    scan.text_ended = true;
  }
  const std::uint64_t base = scan.offset;
  // The byte `back` places before p[i], from this chunk or the two carried ones.
  auto before = [&](std::size_t i, std::size_t back) {
    return i >= back ? p[i - back] : scan.previous[2 + i - back];
  };

  std::size_t pos = 0;
  if (scan.pair_pending && n > 0) {
    scan.pair_pending = false;
    if (p[0] == '<') {
      start_record(scan, base + 1);
      pos = 1;
    }
  }
  // Every event is at a newline: the end of a ">:" line, or the second newline of a
  // separator. Lines of real reports are 40 to 80 bytes, so memchr jumps over most bytes.
  while (pos < n) {
    const auto* newline = static_cast<const char*>(std::memchr(p + pos, '\n', n - pos));
    if (newline == nullptr) break;
    const std::size_t i = static_cast<std::size_t>(newline - p);
    pos = i + 1;
    if (scan.in_address && before(i, 1) == ':' && before(i, 2) == '>' &&
        base + i >= scan.address_start + 2) {
      // This newline may also be the first of a separator: a record whose reason is empty
      // still gives its address.
      if (!write_address(scan, p, base, base + i - 2, output)) return ExtractResult::write_error;
      scan.in_address = false;
      scan.carried.clear();
    } else if (before(i, 1) == '\n') {
      if (i + 1 < n) {
        if (p[i + 1] == '<') {
          start_record(scan, base + i + 2);
          pos = i + 2;
        }
      } else if (!scan.text_ended) {
        scan.pair_pending = true;  // the next chunk's first byte decides
      }
    }
  }

  if (scan.in_address && n > 0) {
    const std::size_t from =
        scan.address_start > base ? static_cast<std::size_t>(scan.address_start - base) : 0;
    if (from < n && !scan.carried.append(p + from, n - from)) return ExtractResult::out_of_memory;
  }
  if (n >= 2) {
    scan.previous[0] = p[n - 2];
    scan.previous[1] = p[n - 1];
  } else if (n == 1) {
    scan.previous[0] = scan.previous[1];
    scan.previous[1] = p[0];
  }
  scan.offset = base + n;
  return ExtractResult::done;
}

ExtractResult extract_bounced_addresses(std::FILE* report, std::FILE* output,
                                        std::span<char> chunk) {
  BounceScan scan;
  while (!scan.text_ended) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), report);
    // A failed read ends the scan before its bytes are used: no answer from part of a report.
    if (n < chunk.size() && std::ferror(report)) return ExtractResult::read_error;
    if (n > 0) {
      const ExtractResult result = scan_bounce_chunk(scan, {chunk.data(), n}, output);
      if (result != ExtractResult::done) return result;
    }
    if (n < chunk.size()) break;
  }
  return ExtractResult::done;
}
