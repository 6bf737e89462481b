// SPDX-License-Identifier: MIT
// queuepeek: command line, queue path resolution, opening, closing and exit status.
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bounce_extract.h"
#include "fd_io.h"
#include "tally.h"

namespace {

// Exit statuses.
constexpr int k_exit_success = 0;
// A file could not be opened, read or written, or the answer could not be written to standard
// output. Except in that last case, standard output tells which file.
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;  // bad command line; nothing is printed

enum class Mode { done_tally, bounced_tally, bounced_addresses };

constexpr const char* k_remote_directory = "/var/qmail/queue/remote/";
constexpr const char* k_bounce_directory = "/var/qmail/queue/bounce/";

// Blocks of the tallies. 128 KiB: large enough that the read calls cost little beside the
// scan, small enough to stay in the second-level cache while it runs.
constexpr std::size_t k_tally_block_size = 128 * 1024;

// Buffer of the -D output file. Its default of 4 KiB made the write calls take half the time
// of a run over a 256 MiB report (13000 writes at 14 microseconds each); pages are touched
// only as addresses fill them.
constexpr std::size_t k_output_buffer_size = 128 * 1024;

// Process-wide state.
char queue_path[255];  // the resolved path, terminator included (at most 254 characters)
// In .bss: pages are only touched by the bytes a read brings, so a tiny file costs one page.
char tally_block[k_tally_block_size];
// Standard output's buffer: the default one costs an fstat, an ioctl and a malloc at start-up,
// for answers of a few bytes.
char stdout_buffer[256];

/// Builds the path of `name` for `mode` in queue_path. A path of more than 254 characters is
/// refused with "open file error:" and the whole resolved path, and false is returned.
[[nodiscard]] bool resolve_queue_path(Mode mode, const char* name) {
  const char* directory = "";
  const char* part = name;
  if (name[0] != '/') {
    if (mode == Mode::done_tally) {
      directory = k_remote_directory;
    } else {
      directory = k_bounce_directory;
      // Bounce reports are not split into subdirectories: 7/89 and 89 are the same report.
      if (const char* slash = std::strchr(name, '/')) part = slash + 1;
    }
  }
  const std::size_t directory_length = std::strlen(directory);
  const std::size_t part_length = std::strlen(part);
  if (part_length > sizeof queue_path - 1 - directory_length) {
    std::printf("open file error:%s%s", directory, part);
    return false;
  }
  std::memcpy(queue_path, directory, directory_length);
  std::memcpy(queue_path + directory_length, part, part_length + 1);
  return true;
}

/// Closes a stream whose result nobody can check any more (early returns); the success paths
/// call std::fclose(f.release()) and check it.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

/// Opens queue_path for reading and writing: the file must exist and be writable by the
/// caller, although nothing is written to it. Prints "open file error:" and the path on
/// failure. Only a regular file is taken: qmail's queue files always are, and a FIFO opened for
/// reading and writing would never reach its end, since this process would hold its writing
/// side. Every read is a whole block or chunk, so a descriptor is all it takes.
UniqueFd open_queue_file() {
  UniqueFd file(open(queue_path, O_RDWR | O_CLOEXEC));
  struct stat status;
  if (file && (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)))
    file = UniqueFd();
  if (!file) std::printf("open file error:%s", queue_path);
  return file;
}

/// Flushes standard output and returns `status`, or k_exit_failure when the answer could not
/// be written: a caller must never take a lost answer for a successful run.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return k_exit_failure;
  return status;
}

int read_failure(const char* path) {
  std::printf("read file error:%s", path);
  return finish(k_exit_failure);
}

/// "-S" and "-B": reads the whole file in blocks, then prints the counts.
int run_tally(Mode mode) {
  UniqueFd file = open_queue_file();
  if (!file) return finish(k_exit_failure);
  DoneTally done_tally;
  BouncedTally bounced_tally;
  const int counted = mode == Mode::done_tally
                          ? tally_done_file(file.get(), tally_block, done_tally)
                          : tally_bounced_file(file.get(), tally_block, bounced_tally);
  // A read error leaves counts of part of the file: they are never printed.
  if (counted != 0) return read_failure(queue_path);
  if (file.close() != 0) return read_failure(queue_path);

  if (mode == Mode::done_tally)
    std::printf("%" PRIu64 ":%" PRIu64 ":%" PRIu64, done_tally.done, done_tally.last_done,
                done_tally.records);
  else
    std::printf("%" PRIu64, bounced_tally.count);
  return finish(k_exit_success);
}

/// True when `path` names the regular file open as `fd`: opening it for output would empty it.
bool same_regular_file(const char* path, int fd) {
  struct stat path_status;
  struct stat file_status;
  return stat(path, &path_status) == 0 && S_ISREG(path_status.st_mode) &&
         fstat(fd, &file_status) == 0 && same_file(path_status, file_status);
}

/// Creates or empties OUTPUT for writing. Write-only, and a FIFO without a reader is refused
/// (ENXIO) rather than waited for: opened for reading too, this process would be the FIFO's
/// reader, and the list would be lost or the writes would block for ever.
std::FILE* open_output(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  std::FILE* file = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0
                        ? fdopen(fd, "wb")
                        : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

/// Empties OUTPUT after a failure and closes it: part of the addresses must not pass for all
/// of them. What is still buffered is dropped, not written.
void discard_output(UniqueFile& output) {
  __fpurge(output.get());
  // Best effort: the failure being reported is the one that counts. An if rather than a cast
  // to void, which does not silence warn_unused_result under _FORTIFY_SOURCE.
  if (ftruncate(fileno(output.get()), 0) != 0) {
  }
  output.reset();
}

int write_failure(UniqueFile& output, const char* output_path) {
  if (output) discard_output(output);
  std::printf("write file error:%s", output_path);
  return finish(k_exit_failure);
}

/// "-D": writes the addresses of the report at queue_path to `output_path`.
int run_extraction(const char* output_path) {
  UniqueFd report = open_queue_file();
  if (!report) return finish(k_exit_failure);
  // The report belongs to qmail: OUTPUT naming it would truncate it before it is read.
  // Declared before the stream that uses it, so that it outlives the stream's close.
  MallocBuffer output_buffer(static_cast<char*>(std::malloc(k_output_buffer_size)));
  UniqueFile output(same_regular_file(output_path, report.get()) ? nullptr
                                                                 : open_output(output_path));
  if (!output) {
    report = UniqueFd();
    std::printf("open file error:%s", output_path);
    return finish(k_exit_failure);
  }
  // Without the buffer the stream's own (4 KiB) does: slower, but the same bytes.
  if (output_buffer)
    static_cast<void>(
        std::setvbuf(output.get(), output_buffer.get(), _IOFBF, k_output_buffer_size));
  // From malloc and never cleared: its pages are mapped on first use, so a small report
  // touches only the pages its bytes fill (each fresh page costs about 10 microseconds).
  MallocBuffer chunk(static_cast<char*>(std::malloc(k_bounce_chunk_size)));
  const ExtractResult result = chunk ? extract_bounced_addresses(report.get(), output.get(),
                                                                 {chunk.get(), k_bounce_chunk_size})
                                     : ExtractResult::out_of_memory;
  switch (result) {
    case ExtractResult::done:
      break;
    // Without memory the report cannot be read: it counts as a read failure.
    case ExtractResult::read_error:
    case ExtractResult::out_of_memory:
      discard_output(output);
      return read_failure(queue_path);
    case ExtractResult::write_error:
      return write_failure(output, output_path);
  }
  if (report.close() != 0) {
    discard_output(output);
    return read_failure(queue_path);
  }
  if (std::fflush(output.get()) != 0) return write_failure(output, output_path);
  // Closing can still fail (NFS and disk quotas report late write-backs there), and then the
  // stream is gone: a second descriptor lets OUTPUT be emptied after that failure too.
  const int kept = dup(fileno(output.get()));
  const bool closed = std::fclose(output.release()) == 0;
  if (!closed && kept >= 0 && ftruncate(kept, 0) != 0) {
    // Nothing more to do: the failed close is reported below either way.
  }
  if ((kept >= 0 && close(kept) != 0) || !closed) return write_failure(output, output_path);
  return finish(k_exit_success);
}

/// Puts /dev/null, read-only, on any of descriptors 0, 1 and 2 that is closed. Otherwise the
/// queue file, opened for writing, could become descriptor 1 and receive a message; with
/// read-only /dev/null there, printing fails and the exit status says so.
[[nodiscard]] bool fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDONLY);
    if (opened != fd) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // queuepeek MODE NAME [OUTPUT]. The word limit is checked before anything else.
  if (argc > 4) return k_exit_usage;
  if (argc < 2) return k_exit_usage;
  Mode mode;
  if (std::strcmp(argv[1], "-S") == 0)
    mode = Mode::done_tally;
  else if (std::strcmp(argv[1], "-B") == 0)
    mode = Mode::bounced_tally;
  else if (std::strcmp(argv[1], "-D") == 0)
    mode = Mode::bounced_addresses;
  else
    return k_exit_usage;
  if (argc < 3) return k_exit_usage;
  // Without OUTPUT there is nowhere to put the addresses: a run that did nothing must not
  // look like a success.
  if (mode == Mode::bounced_addresses && argc < 4) return k_exit_usage;

  if (!fill_standard_descriptors()) return k_exit_failure;
  static_cast<void>(std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer));
  if (!resolve_queue_path(mode, argv[2])) return finish(k_exit_failure);
  if (mode == Mode::bounced_addresses) return run_extraction(argv[3]);
  return run_tally(mode);
}
