// SPDX-License-Identifier: MIT
// The rules of queuepeek's answers written out plainly, byte by byte or over the whole text:
// the one reference that the unit tests, the fuzz targets and the end-to-end tests compare the
// tallies and the extraction with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace test_support {

/// The "-S" answer: counted "D" records, the ordinal of the last one, and the records.
struct DoneCounts {
  std::uint64_t done = 0;
  std::uint64_t last_done = 0;
  std::uint64_t records = 0;
  bool operator==(const DoneCounts&) const = default;
};

/// "-S": a "D" right after a NUL or "#" (or at the very start) is a finished recipient, and
/// every NUL ends a record.
inline DoneCounts reference_done(std::string_view list) {
  DoneCounts counts;
  char previous = '#';
  for (char c : list) {
    if (c == 'D' && (previous == '\0' || previous == '#')) {
      ++counts.done;
      counts.last_done = counts.records + 1;
    } else if (c == '\0') {
      ++counts.records;
    }
    previous = c;
  }
  return counts;
}

/// "-B": the ">", ":", newline sequences of the report.
inline std::uint64_t reference_bounced(std::string_view report) {
  std::uint64_t count = 0;
  for (std::size_t at = report.find(">:\n"); at != std::string_view::npos;
       at = report.find(">:\n", at + 1))
    ++count;
  return count;
}

/// "-D": the report cut at its first NUL, split into records at each newline, newline, "<" (the
/// separator's first newline may still end a record's ">:" line), the first record without its
/// first byte; each record's text before its first ">", ":", newline, followed by CR LF, when
/// that text holds an "@".
inline std::string reference_extract(std::string_view report) {
  report = report.substr(0, report.find('\0'));
  std::string out;
  std::size_t position = 0;
  bool first = true;
  for (;;) {
    const std::size_t separator = report.find("\n\n<", position);
    const std::size_t end = separator == std::string_view::npos ? report.size() : separator + 1;
    std::string_view record = report.substr(position, end - position);
    if (first && !record.empty()) record.remove_prefix(1);
    const std::size_t mark = record.find(">:\n");
    if (mark != std::string_view::npos) {
      const std::string_view address = record.substr(0, mark);
      if (address.find('@') != std::string_view::npos) {
        out.append(address);
        out += "\r\n";
      }
    }
    if (separator == std::string_view::npos) return out;
    position = separator + 3;
    first = false;
  }
}

}  // namespace test_support
