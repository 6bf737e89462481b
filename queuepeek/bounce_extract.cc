// SPDX-License-Identifier: MIT
// Bounce address extraction: records found across chunk boundaries as in one whole text.
#include "bounce_extract.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "fd_io.h"

bool flush_output(AddressOutput& output) {
  const std::size_t length = output.length;
  output.length = 0;
  return length == 0 || write_fully(output.fd, output.buffer.data(), length) >= 0;
}

namespace {

// Puts `length` bytes in `output`, writing it out each time it fills.
bool put(AddressOutput& output, const char* bytes, std::size_t length) {
  while (length > output.buffer.size() - output.length) {
    const std::size_t part = output.buffer.size() - output.length;
    std::memcpy(output.buffer.data() + output.length, bytes, part);
    output.length += part;
    if (!flush_output(output)) return false;
    bytes += part;
    length -= part;
  }
  std::memcpy(output.buffer.data() + output.length, bytes, length);
  output.length += length;
  return true;
}

// Puts `length` bytes and "\r\n".
bool put_line(AddressOutput& output, const char* bytes, std::size_t length) {
  if (length + 2 > output.buffer.size() - output.length)
    return put(output, bytes, length) && put(output, "\r\n", 2);
  char* to = output.buffer.data() + output.length;
  std::memcpy(to, bytes, length);
  to[length] = '\r';
  to[length + 1] = '\n';
  output.length += length + 2;
  return true;
}

bool has_at(const char* bytes, std::size_t length) {
  return length > 0 && std::memchr(bytes, '@', length) != nullptr;
}

// Puts `length` bytes of the report from `offset` on in `output`, read straight into its buffer.
ExtractResult copy_from_report(int fd, std::uint64_t offset, std::uint64_t length,
                               AddressOutput& output) {
  while (length > 0) {
    if (output.length == output.buffer.size() && !flush_output(output))
      return ExtractResult::write_error;
    const std::size_t room = output.buffer.size() - output.length;
    const std::size_t want = length < room ? static_cast<std::size_t>(length) : room;
    const ssize_t n = pread_retrying(fd, output.buffer.data() + output.length, want,
                                     static_cast<off_t>(offset));
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the report became shorter than what was scanned
      return ExtractResult::read_error;
    }
    output.length += static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return ExtractResult::done;
}

// Writes the address that ends where the ">:" line ending at newline `i` of `chunk` (at stream
// offset `base`) begins, [scan.address_start, base + i - 2), followed by "\r\n", when it holds
// an "@". Its part before the chunk is read again from the report.
ExtractResult write_address(const BounceScan& scan, const char* chunk, std::uint64_t base,
                            std::size_t i, AddressOutput& output) {
  if (scan.line_end_from >= 2) {
    // The whole address is in this chunk, as all but one in thousands are, from position
    // line_end_from - 2: chunk positions alone.
    const char* address = chunk + (scan.line_end_from - 2);
    const std::size_t length = i - scan.line_end_from;
    if (!has_at(address, length)) return ExtractResult::done;
    return put_line(output, address, length) ? ExtractResult::done : ExtractResult::write_error;
  }
  const std::uint64_t end = base + i - 2;
  const std::uint64_t head_end = end < base ? end : base;
  const std::uint64_t head_length =
      scan.address_start < head_end ? head_end - scan.address_start : 0;
  const std::size_t tail_length = end > base ? static_cast<std::size_t>(end - base) : 0;
  // Bytes of earlier chunks past the address can only be its closing ">" or ">:", never an
  // "@": what was seen of them tells about the head alone.
  if (!scan.head_has_at && !has_at(chunk, tail_length)) return ExtractResult::done;
  const ExtractResult result = copy_from_report(scan.report_fd, scan.address_start, head_length,
                                                output);
  if (result != ExtractResult::done) return result;
  return put_line(output, chunk, tail_length) ? ExtractResult::done : ExtractResult::write_error;
}

// A record whose address starts at position `from` of the chunk at stream offset `base`.
void start_record(BounceScan& scan, std::uint64_t base, std::size_t from) {
  ++scan.records_seen;
  scan.in_address = true;
  scan.address_start = base + from;
  scan.line_end_from = from + 2;
  scan.head_has_at = false;
}

// The byte `back` places before p[i], from the chunk `p` or the two bytes carried before it.
char byte_before(const BounceScan& scan, const char* p, std::size_t i, std::size_t back) {
  return i >= back ? p[i - back] : scan.previous[2 + i - back];
}

// What the newline p[i] of the chunk `p` (of `n` bytes, starting at stream offset `base`) does.
// Every event of the scan is at a newline: the end of a ">:" line, or the second newline of a
// separator; any other newline does nothing. Inlined into the scan loops: a call per event
// was a tenth of the instructions of a vector scan.
inline __attribute__((always_inline)) ExtractResult at_newline(BounceScan& scan, const char* p,
                                                               std::size_t n, std::size_t i,
                                                               std::uint64_t base,
                                                               AddressOutput& output) {
  const char previous = byte_before(scan, p, i, 1);
  if (scan.in_address && previous == ':' && byte_before(scan, p, i, 2) == '>' &&
      i >= scan.line_end_from) {
    // This newline may also be the first of a separator: a record whose reason is empty
    // still gives its address.
    const ExtractResult written = write_address(scan, p, base, i, output);
    if (written != ExtractResult::done) return written;
    scan.in_address = false;
  } else if (previous == '\n') {
    if (i + 1 < n) {
      if (p[i + 1] == '<') start_record(scan, base, i + 2);
    } else if (!scan.text_ended) {
      scan.pair_pending = true;  // the next chunk's first byte decides
    }
  }
  return ExtractResult::done;
}

// The plain row: the chunk's text is cut at its first NUL, then memchr finds each newline.
// Lines of real reports are 40 to 80 bytes, so it jumps over most bytes.
ExtractResult scan_newlines_bytes(BounceScan& scan, const char* p, std::size_t& n, std::size_t pos,
                                  std::uint64_t base, AddressOutput& output) {
  const char* const stop = p + n;
  for (const char* next = p + pos; next < stop;) {
    const auto* newline = static_cast<const char*>(std::memchr(next, '\n', stop - next));
    if (newline == nullptr) break;
    const std::size_t i = static_cast<std::size_t>(newline - p);
    const ExtractResult result = at_newline(scan, p, n, i, base, output);
    if (result != ExtractResult::done) return result;
    next = newline + 1;
  }
  return ExtractResult::done;
}

// One byte of the text, for the vector rows' ends: a NUL ends the text at p[i] (and the scan
// returns done with `ended` set); a newline goes to at_newline().
ExtractResult at_byte(BounceScan& scan, const char* p, std::size_t& n, std::size_t i,
                      std::uint64_t base, AddressOutput& output, bool& ended) {
  if (p[i] == '\0') {
    n = i;
    scan.text_ended = true;
    ended = true;
    return ExtractResult::done;
  }
  if (p[i] != '\n') return ExtractResult::done;
  return at_newline(scan, p, n, i, base, output);
}

// The vector rows: `event_masks` marks, a span at a time, the only bytes that can matter
// (a report has about two such per record, against five or more newlines), and the NUL that
// ends the text, found in the same pass rather than by a memchr over the chunk first. Only the
// marked bytes are then looked at, in order.
ExtractResult scan_marked_bytes(BounceScan& scan, const char* p, std::size_t& n, std::size_t pos,
                                std::uint64_t base, AddressOutput& output,
                                decltype(ScanRow::event_masks) event_masks) {
  bool ended = false;
  std::size_t i = pos;
  // The first two bytes look back into the carried ones.
  for (; i < 2 && i < n; ++i) {
    const ExtractResult result = at_byte(scan, p, n, i, base, output, ended);
    if (result != ExtractResult::done || ended) return result;
  }
  // 64 masks: 4 KiB of text a call on 64-bit machines, their 512 bytes on the stack.
  EventMask masks[64];
  while (n - i >= k_event_span) {
    const std::size_t count = std::min<std::size_t>((n - i) / k_event_span, std::size(masks));
    event_masks(p + i, count, masks);
    for (std::size_t k = 0; k < count; ++k) {
      for (EventMask mask = masks[k]; mask != 0; mask &= mask - 1) {
        const std::size_t at =
            i + k_event_span * k + static_cast<std::size_t>(std::countr_zero(mask));
        const ExtractResult result = at_byte(scan, p, n, at, base, output, ended);
        if (result != ExtractResult::done || ended) return result;
      }
    }
    i += k_event_span * count;
  }
  for (; i < n; ++i) {
    const ExtractResult result = at_byte(scan, p, n, i, base, output, ended);
    if (result != ExtractResult::done || ended) return result;
  }
  return ExtractResult::done;
}

}  // namespace

ExtractResult scan_bounce_chunk(BounceScan& scan, std::span<const char> chunk,
                                AddressOutput& output) {
  if (scan.text_ended || chunk.empty()) return ExtractResult::done;
  const char* p = chunk.data();
  std::size_t n = chunk.size();
  // The plain row cuts the text at its NUL first; the vector rows find the NUL as they go, but
  // a NUL at the very start must end the text before the pending separator is looked at.
  const void* nul = scan.row->event_masks != nullptr ? (p[0] == '\0' ? p : nullptr)
                                                     : std::memchr(p, '\0', n);
  if (nul != nullptr) {
    n = static_cast<std::size_t>(static_cast<const char*>(nul) - p);
    scan.text_ended = true;
  }
  const std::uint64_t base = scan.offset;
  scan.line_end_from = scan.address_start + 2 > base
                           ? static_cast<std::size_t>(scan.address_start + 2 - base)
                           : 0;

  std::size_t pos = 0;
  if (scan.pair_pending && n > 0) {
    scan.pair_pending = false;
    if (p[0] == '<') {
      start_record(scan, base, 1);
      pos = 1;
    }
  }
  const ExtractResult result =
      scan.row->event_masks != nullptr
          ? scan_marked_bytes(scan, p, n, pos, base, output, scan.row->event_masks)
          : scan_newlines_bytes(scan, p, n, pos, base, output);
  if (result != ExtractResult::done) return result;

  if (scan.in_address && n > 0) {
    const std::size_t from =
        scan.address_start > base ? static_cast<std::size_t>(scan.address_start - base) : 0;
    if (from < n && !scan.head_has_at && std::memchr(p + from, '@', n - from) != nullptr)
      scan.head_has_at = true;
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


ExtractResult extract_bounced_addresses(int report, AddressOutput& output, std::span<char> chunk,
                                        const ScanRow* row) {
  BounceScan scan;
  scan.report_fd = report;
  scan.row = row;
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
