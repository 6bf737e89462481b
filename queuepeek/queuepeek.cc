// SPDX-License-Identifier: MIT
// queuepeek: command line, queue path resolution, opening, closing and exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Buffer of the -D output file. 4 KiB made the write calls take half the time of a run over a
// 256 MiB report (13000 writes at 14 microseconds each).
constexpr std::size_t k_output_buffer_size = 128 * 1024;

// Process-wide state.
char queue_path[255];  // the resolved path, terminator included (at most 254 characters)
// The blocks of the tallies, or the chunks of -D, and the addresses -D writes. In .bss: pages
// are only touched by the bytes a read brings or an address fills, so a tiny file costs one
// page.
char read_buffer[k_bounce_chunk_size];
char output_buffer[k_output_buffer_size];
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

/// Opens queue_path for reading and writing: the file must exist and be writable by the
/// caller, although nothing is written to it. Prints "open file error:" and the path on
/// failure. Only a regular file is taken: qmail's queue files always are, and a FIFO opened for
/// reading and writing would never reach its end, since this process would hold its writing
/// side. Every read is a whole block or chunk, so a descriptor is all it takes.
UniqueFd open_queue_file() {
  // Whatever the name turns out to be, opening it must leave it as it was: O_NOCTTY keeps a
  // terminal from becoming the controlling one of a queuepeek that leads its session (from
  // cron or a service manager), which would hang the terminal up for every other process on
  // it at exit; O_NONBLOCK keeps a serial line without carrier from blocking the open.
  UniqueFd file(open(queue_path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status;
  if (file && (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)))
    file = UniqueFd();
  // Reads of a regular file ignore O_NONBLOCK, but a file system of its own may not.
  if (file && fcntl(file.get(), F_SETFL, 0) != 0) file = UniqueFd();
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
  const std::span<char> block(read_buffer, k_tally_block_size);
  const int counted = mode == Mode::done_tally
                          ? tally_done_file(file.get(), block, done_tally)
                          : tally_bounced_file(file.get(), block, bounced_tally);
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
UniqueFd open_output(const char* path) {
  UniqueFd output(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY, 0666));
  const int flags = output ? fcntl(output.get(), F_GETFL) : -1;
  if (flags < 0 || fcntl(output.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
  return output;
}

/// Empties OUTPUT, if it is open, and closes it: after a failure, part of the addresses must
/// not pass for all of them.
void discard_output(UniqueFd& output) {
  // Best effort: the failure being reported is the one that counts. An if rather than a cast
  // to void, which does not silence warn_unused_result under _FORTIFY_SOURCE.
  if (output && ftruncate(output.get(), 0) != 0) {
  }
  output = UniqueFd();
}

/// Opens OUTPUT again, after its last descriptor was closed with a failure, so that it can be
/// emptied: only while `path` still names the file `written` describes, and without waiting
/// for a reader or taking a terminal. Empty when it cannot.
UniqueFd reopen_output(const char* path, const struct stat& written) {
  UniqueFd output(open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (output && (fstat(output.get(), &status) != 0 || !same_file(status, written)))
    output = UniqueFd();
  return output;
}

int write_failure(UniqueFd& output, const char* output_path) {
  discard_output(output);
  std::printf("write file error:%s", output_path);
  return finish(k_exit_failure);
}

/// "-D": writes the addresses of the report at queue_path to `output_path`.
int run_extraction(const char* output_path) {
  UniqueFd report = open_queue_file();
  if (!report) return finish(k_exit_failure);
  // The report belongs to qmail: OUTPUT naming it would truncate it before it is read.
  UniqueFd output =
      same_regular_file(output_path, report.get()) ? UniqueFd() : open_output(output_path);
  if (!output) {
    report = UniqueFd();
    std::printf("open file error:%s", output_path);
    return finish(k_exit_failure);
  }
  AddressOutput addresses{output.get(), output_buffer};
  switch (extract_bounced_addresses(report.get(), addresses, read_buffer)) {
    case ExtractResult::done:
      break;
    case ExtractResult::read_error:
      discard_output(output);
      return read_failure(queue_path);
    case ExtractResult::write_error:
      return write_failure(output, output_path);
  }
  if (report.close() != 0) {
    discard_output(output);
    return read_failure(queue_path);
  }
  if (!flush_output(addresses)) return write_failure(output, output_path);
  // Closing can still fail (NFS and disk quotas report late write-backs there), and then the
  // descriptor is gone: a second one lets OUTPUT be emptied after that failure. Its own close
  // can fail too, and then OUTPUT is opened again by name to be emptied.
  struct stat written;
  const bool identified = fstat(output.get(), &written) == 0;
  UniqueFd kept(dup(output.get()));
  if (output.close() != 0) return write_failure(kept, output_path);
  if (kept.close() != 0) {
    UniqueFd again = identified ? reopen_output(output_path, written) : UniqueFd();
    return write_failure(again, output_path);
  }
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
  if (mode == Mode::bounced_addresses) {
    // A write past the file-size limit then fails with EFBIG, and OUTPUT is emptied as after
    // any other write failure, instead of the process being killed with part of the list
    // left in OUTPUT.
    std::signal(SIGXFSZ, SIG_IGN);
    return run_extraction(argv[3]);
  }
  return run_tally(mode);
}
