// SPDX-License-Identifier: MIT
// Bounce address extraction for queuepeek -D: a streaming scan of a bounce report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "fd_io.h"
#include "scan_rows.h"

/// Size of the chunks in which queuepeek reads a bounce report: 512 KiB.
inline constexpr std::size_t k_bounce_chunk_size = 524288;

/// A growable byte buffer from malloc, for the part of a record carried to the next chunk.
class CarriedBytes {
 public:
  /// The bytes kept, valid until the next append(); null while nothing was ever kept.
  const char* data() const { return m_data.get(); }
  /// How many bytes are kept.
  std::size_t size() const { return m_size; }
  /// Forgets the bytes and keeps the memory for the next record.
  void clear() { m_size = 0; }
  /// Appends `length` bytes. Returns false, keeping the old contents, when memory runs out.
  [[nodiscard]] bool append(const char* bytes, std::size_t length);

 private:
  MallocBuffer m_data;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

/// What a scan carries from one chunk of a report to the next. The report is one stream: a
/// record may begin in one chunk and end in a later one.
struct BounceScan {
  std::uint64_t records_seen = 0;  ///< records ended by a separator (newline, newline, "<")
  std::uint64_t offset = 0;        ///< stream offset of the next chunk's first byte
  /// Stream offset where the current record's address begins: 1 for the first record, whose
  /// leading "<" is dropped; just after the separator's "<" for the others.
  std::uint64_t address_start = 1;
  bool in_address = true;     ///< the current record's ">", ":", newline is still to come
  bool pair_pending = false;  ///< the last chunk ended in the separator's two newlines
  bool text_ended = false;    ///< a NUL byte ended the report's text
  char previous[2] = {0, 0};  ///< the last two bytes before the next chunk, older first
  /// A descriptor of the report as a regular file whose offset 0 is the stream's, or -1. With
  /// one, the part of an address that lies before the current chunk is read again from the
  /// file when the address is written, and only whether it holds an "@" is kept; without one,
  /// those bytes are kept in `carried`.
  int reread_fd = -1;
  bool carried_has_at = false;  ///< an "@" in [address_start, offset) while in_address
  CarriedBytes carried;         ///< bytes [address_start, offset) while in_address, without reread_fd
  const ScanRow* row = best_scan_row();  ///< the code that finds the newlines that matter
};

/// How an extraction ended.
enum class ExtractResult {
  done,           ///< the report was scanned to its end or its first NUL
  read_error,     ///< reading the report failed (errno as read or pread left it)
  write_error,    ///< writing to the output failed
  out_of_memory,  ///< a record's start could not be kept for the next chunk
};

/// Scans `chunk`, the next bytes of a report, and writes to `output` the address of every
/// record whose ">", ":", newline ends in it, followed by "\r\n", when the address contains
/// "@". The address is the record's text before that ">:"; a record ends at the next newline,
/// newline, "<", whose first newline may also end the record's ">:" line. Nothing after a
/// NUL byte is scanned, in this chunk or any later one. Every row writes the same bytes;
/// scan.row must be one this processor runs. Returns done, write_error, read_error (reading an
/// address again from reread_fd failed) or out_of_memory.
[[nodiscard]] ExtractResult scan_bounce_chunk(BounceScan& scan, std::span<const char> chunk,
                                              std::FILE* output);

/// Reads the descriptor `report` to its end (or to its first NUL byte) in reads of at most
/// `chunk.size()` bytes (at least 1) into `chunk`, and writes the addresses scan_bounce_chunk()
/// finds to `output`. The result is the same for every chunk size. When the report is a regular
/// file read from its start, memory stays at `chunk` whatever the report holds: a cut address
/// is read again from the file. Otherwise the part of a record between its start and its ">:"
/// that a chunk boundary cuts is kept in memory. Neither is closed; `output` is not flushed.
/// `row` must be one this processor runs.
[[nodiscard]] ExtractResult extract_bounced_addresses(int report, std::FILE* output,
                                                      std::span<char> chunk,
                                                      const ScanRow* row = best_scan_row());
