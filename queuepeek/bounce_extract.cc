// SPDX-License-Identifier: MIT
// Bounce address extraction: records found across chunk boundaries as in one whole text.
#include "bounce_extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

// Copies `length` bytes of the report from `offset` on to `output`.
ExtractResult copy_from_report(int fd, std::uint64_t offset, std::uint64_t length,
                               std::FILE* output) {
  char buffer[16384];
  while (length > 0) {
    const std::size_t want = length < sizeof buffer ? static_cast<std::size_t>(length)
                                                    : sizeof buffer;
    const ssize_t n = pread_retrying(fd, buffer, want, static_cast<off_t>(offset));
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the report became shorter than what was scanned
      return ExtractResult::read_error;
    }
    if (!write_bytes(output, buffer, static_cast<std::size_t>(n))) return ExtractResult::write_error;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return ExtractResult::done;
}

// Writes the address [scan.address_start, end) of the stream, followed by "\r\n", when it holds
// an "@". Its part before `base` (the offset of `chunk`) is in scan.carried, or in the file.
ExtractResult write_address(const BounceScan& scan, const char* chunk, std::uint64_t base,
                            std::uint64_t end, std::FILE* output) {
  const std::uint64_t head_end = end < base ? end : base;
  const std::uint64_t head_length =
      scan.address_start < head_end ? head_end - scan.address_start : 0;
  const std::uint64_t tail_start = scan.address_start > base ? scan.address_start : base;
  const char* tail = chunk + (tail_start - base);
  const std::size_t tail_length = end > tail_start ? static_cast<std::size_t>(end - tail_start) : 0;
  // Carried bytes past the address can only be its closing ">" or ">:", never an "@": what was
  // seen of them tells about the head alone.
  const bool head_has_at =
      scan.reread_fd >= 0 ? scan.carried_has_at
                          : has_at(scan.carried.data(), static_cast<std::size_t>(head_length));
  if (!head_has_at && !has_at(tail, tail_length)) return ExtractResult::done;
  if (scan.reread_fd >= 0) {
    const ExtractResult result = copy_from_report(scan.reread_fd, scan.address_start, head_length,
                                                  output);
    if (result != ExtractResult::done) return result;
  } else if (!write_bytes(output, scan.carried.data(), static_cast<std::size_t>(head_length))) {
    return ExtractResult::write_error;
  }
  if (!write_bytes(output, tail, tail_length) || !write_bytes(output, "\r\n", 2))
    return ExtractResult::write_error;
  return ExtractResult::done;
}

void start_record(BounceScan& scan, std::uint64_t address_start) {
  ++scan.records_seen;
  scan.in_address = true;
  scan.address_start = address_start;
  scan.carried_has_at = false;
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
      const ExtractResult written = write_address(scan, p, base, base + i - 2, output);
      if (written != ExtractResult::done) return written;
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
    if (from < n) {
      if (scan.reread_fd >= 0) {
        if (!scan.carried_has_at && std::memchr(p + from, '@', n - from) != nullptr)
          scan.carried_has_at = true;
      } else if (!scan.carried.append(p + from, n - from)) {
        return ExtractResult::out_of_memory;
      }
    }
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

ExtractResult extract_bounced_addresses(int report, std::FILE* output, std::span<char> chunk) {
  BounceScan scan;
  // A regular file read from its start can give back any earlier bytes: cut addresses need
  // no memory of their own, however long the records before their ">:" lines are.
  struct stat status;
  if (fstat(report, &status) == 0 && S_ISREG(status.st_mode) && lseek(report, 0, SEEK_CUR) == 0)
    scan.reread_fd = report;
  while (!scan.text_ended) {
    const ssize_t n = read_retrying(report, chunk.data(), chunk.size());
    // A failed read ends the scan before its bytes are used: no answer from part of a report.
    if (n < 0) return ExtractResult::read_error;
    if (n == 0) break;
    const ExtractResult result =
        scan_bounce_chunk(scan, {chunk.data(), static_cast<std::size_t>(n)}, output);
    if (result != ExtractResult::done) return result;
  }
  return ExtractResult::done;
}
