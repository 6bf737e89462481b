// SPDX-License-Identifier: MIT
// Bounce address extraction for queuepeek -D: a streaming scan of a bounce report.
#pragma once

#include <cstdint>
#include <span>

#include "scan_rows.h"

/// Size of the chunks in which queuepeek reads a bounce report: 512 KiB.
inline constexpr std::size_t k_bounce_chunk_size = 524288;

/// Where the addresses go: `buffer` (the caller's, never empty) fills up, then goes to the
/// descriptor `fd` with write_fully, as one write.
struct AddressOutput {
  int fd = -1;
  std::span<char> buffer;
  std::size_t length = 0;  ///< bytes held in `buffer`, not yet written
};

/// Writes what `output` holds and empties it. Returns false, with errno set, when the write
/// failed; bytes written before the failure stay written.
[[nodiscard]] bool flush_output(AddressOutput& output);

/// What a scan carries from one chunk of a report to the next. The report is one stream: a
/// record may begin in one chunk and end in a later one. The part of an address that lies
/// before the current chunk is read again from the report when the address is written, and
/// only whether it holds an "@" is kept, so memory stays at the chunk whatever the report holds.
struct BounceScan {
  int report_fd = -1;  ///< the report: a regular file whose offset 0 is the stream's
  std::uint64_t records_seen = 0;  ///< records ended by a separator (newline, newline, "<")
  std::uint64_t offset = 0;        ///< stream offset of the next chunk's first byte
  /// Stream offset where the current record's address begins: 1 for the first record, whose
  /// leading "<" is dropped; just after the separator's "<" for the others.
  std::uint64_t address_start = 1;
  bool in_address = true;     ///< the current record's ">", ":", newline is still to come
  bool pair_pending = false;  ///< the last chunk ended in the separator's two newlines
  bool text_ended = false;    ///< a NUL byte ended the report's text
  bool head_has_at = false;   ///< an "@" in [address_start, offset) while in_address
  /// In the chunk being scanned, the first position where the current record's ">:" line may
  /// end: address_start + 2 as a chunk position, so that the scan of each newline compares
  /// positions that fit a general register on 32-bit machines too.
  std::size_t line_end_from = 0;
  char previous[2] = {0, 0};  ///< the last two bytes before the next chunk, older first
  const ScanRow* row = best_scan_row();  ///< the code that finds the newlines that matter
};

/// How an extraction ended.
enum class ExtractResult {
  done,         ///< the report was scanned to its end or its first NUL
  read_error,   ///< reading the report failed (errno as read or pread left it)
  write_error,  ///< writing to the output failed (errno as write_fully left it)
};

/// Scans `chunk`, the next bytes of the report, and puts in `output` the address of every
/// record whose ">", ":", newline ends in it, followed by "\r\n", when the address contains
/// "@". The address is the record's text before that ">:"; a record ends at the next newline,
/// newline, "<", whose first newline may also end the record's ">:" line. Nothing after a
/// NUL byte is scanned, in this chunk or any later one. Every row writes the same bytes;
/// scan.row must be one this processor runs. Returns done, write_error, or read_error (reading
/// an address again from scan.report_fd failed).
[[nodiscard]] ExtractResult scan_bounce_chunk(BounceScan& scan, std::span<const char> chunk,
                                              AddressOutput& output);

/// Reads `report`, a regular file at offset 0, to its end (or to its first NUL byte) in reads
/// of at most `chunk.size()` bytes (at least 1) into `chunk`, and puts the addresses
/// scan_bounce_chunk() finds in `output`, which is not flushed at the end. The result is the
/// same for every chunk size. `report` is not closed; `row` must be one this processor runs.
[[nodiscard]] ExtractResult extract_bounced_addresses(int report, AddressOutput& output,
                                                      std::span<char> chunk,
                                                      const ScanRow* row = best_scan_row());
