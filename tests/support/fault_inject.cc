// SPDX-License-Identifier: MIT
// Fault injection for the end-to-end tests: an LD_PRELOAD library that makes chosen I/O calls fail.
//
// Loaded into a program with LD_PRELOAD, it wraps the calls the programs import for their data
// and answers (check with `nm -D --undefined-only`): read, pread, pread64, write, splice,
// copy_file_range, close, open, open64, dup, fwrite, fflush, fclose, fputs, fputc, puts,
// printf, fprintf (__printf_chk and __fprintf_chk under _FORTIFY_SOURCE). The programs read their files
// through descriptors; streams are only ever written.
// It only ever touches calls on the descriptor or stream a test selects, so everything else,
// diagnostics on standard error included, goes through untouched. Environment variables:
//
//   FAULT_FD=N         select descriptor N, and every stream whose descriptor is N.
//   FAULT_PATH=P       select the descriptor that open or open64 returns for exactly the name P
//                      (the latest one, until it is closed), the copy dup makes of it, and every
//                      stream on them; the opening calls for P are selected calls too.
//   FAULT_CALL=F       the function whose selected calls fail: read, pread (also pread64), write,
//                      splice, copy_file_range, close, open (also open64), fwrite, fflush,
//                      fclose, fputs, fputc, puts, printf, fprintf; or several of them separated
//                      by commas, such as "splice,read" for a device that fails every way of
//                      reading it. splice and copy_file_range are selected when either of their
//                      descriptors is.
//   FAULT_NTH=N        the first call to fail is the Nth selected call of F (default 1). Only
//                      selected calls of F are counted, so start-up calls elsewhere never shift N;
//                      the functions of a list share one count.
//   FAULT_EVERY=E      after the Nth, every Eth selected call of F fails too (default 0: only the
//                      Nth). FAULT_NTH=1 FAULT_EVERY=2 fails calls 1, 3, 5, ...
//   FAULT_ERRNO=E      EINTR, EIO, ENOSPC, EBADF, EPIPE, EINVAL, EXDEV, ENOSYS, EOPNOTSUPP,
//                      EMSGSIZE or a number (default EIO): errno of a failing call. 0 makes a
//                      failing read, pread, write, splice or copy_file_range return 0 instead: a
//                      write that transfers nothing, a read that meets a premature end.
//   FAULT_READ_MAX=K   selected read and pread calls, and splice and copy_file_range from a
//                      selected descriptor, transfer at most K bytes.
//   FAULT_WRITE_MAX=K  selected write calls, and splice and copy_file_range to a selected
//                      descriptor, transfer at most K bytes.
//   FAULT_REPORT=P     append one line per intervention to the file P: "<function> <fd> <what>",
//                      where what is the errno name, "zero" or "short" (a read or write that the
//                      limit cut), and fd is -1 for a failed opening. A test asserts on these
//                      lines that its fault really fired.
//
// How the calls fail. read, pread, write, splice and copy_file_range return -1 (or 0) without
// transferring anything.
// close and fclose really close, as Linux releases a descriptor even when close reports an
// error, then report the failure. open fails before opening. The stream calls set the stream's
// error indicator, so ferror() sees the failure as it would see a device's: fwrite and the
// other output calls write nothing, fflush drops what the stream holds.
//
// Bad settings end the program with status 125 and a line on standard error. The report is
// written with raw system calls, so recording never goes through the wrappers.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum Call {
  k_read,
  k_pread,
  k_write,
  k_splice,
  k_copy_file_range,
  k_close,
  k_open,
  k_fwrite,
  k_fflush,
  k_fclose,
  k_fputs,
  k_fputc,
  k_puts,
  k_printf,
  k_fprintf,
  k_call_count
};

constexpr const char* k_call_names[k_call_count] = {
    "read",   "pread",  "write", "splice", "copy_file_range", "close",  "open",
    "fwrite", "fflush", "fclose", "fputs", "fputc",           "puts",   "printf", "fprintf",
};

/// The functions that move bytes, and may be told to return 0.
constexpr unsigned k_transfers =
    1u << k_read | 1u << k_pread | 1u << k_write | 1u << k_splice | 1u << k_copy_file_range;

/// The errno values FAULT_ERRNO may name.
struct ErrnoName {
  int value;
  const char* name;
};
constexpr ErrnoName k_errno_names[] = {
    {EINTR, "EINTR"}, {EIO, "EIO"},       {ENOSPC, "ENOSPC"}, {EBADF, "EBADF"},
    {EPIPE, "EPIPE"}, {EINVAL, "EINVAL"}, {EXDEV, "EXDEV"},   {ENOSYS, "ENOSYS"},
    {EOPNOTSUPP, "EOPNOTSUPP"}, {EMSGSIZE, "EMSGSIZE"},
};

struct Settings {
  bool ready = false;
  unsigned calls = 0;  // 1 << Call for each call that is to fail
  int fd = -1;
  const char* path = nullptr;
  long nth = 1;
  long every = 0;
  int errnum = EIO;  // 0: the failing read or write returns 0
  size_t read_max = 0;
  size_t write_max = 0;
  const char* report = nullptr;
};

Settings settings;
int path_fd = -1;    // what the last opening of FAULT_PATH returned
int path_copy = -1;  // what dup made of it
long calls_seen = 0;  // selected calls of the functions in FAULT_CALL so far

void raw_write_all(int fd, const char* text, size_t length) {
  while (length > 0) {
    const long n = syscall(SYS_write, fd, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

[[noreturn]] void refuse(const char* variable) {
  const char prefix[] = "fault_inject: bad or missing setting ";
  raw_write_all(2, prefix, sizeof prefix - 1);
  raw_write_all(2, variable, strlen(variable));
  raw_write_all(2, "\n", 1);
  _exit(125);
}

long number_setting(const char* variable, long fallback, long minimum) {
  const char* text = getenv(variable);
  if (text == nullptr) return fallback;
  char* end;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < minimum) refuse(variable);
  return value;
}

int errno_setting() {
  const char* text = getenv("FAULT_ERRNO");
  if (text == nullptr) return EIO;
  for (const ErrnoName& known : k_errno_names)
    if (strcmp(text, known.name) == 0) return known.value;
  return static_cast<int>(number_setting("FAULT_ERRNO", EIO, 0));
}

void initialise() {
  if (settings.ready) return;
  settings.ready = true;
  const int saved = errno;
  if (const char* list = getenv("FAULT_CALL")) {
    for (const char* name = list;; ++name) {
      const size_t length = strcspn(name, ",");
      unsigned found = 0;
      for (int call = 0; call < k_call_count; ++call)
        if (strlen(k_call_names[call]) == length && strncmp(name, k_call_names[call], length) == 0)
          found = 1u << call;
      if (found == 0) refuse("FAULT_CALL");
      settings.calls |= found;
      name += length;
      if (*name == '\0') break;
    }
  }
  settings.fd = static_cast<int>(number_setting("FAULT_FD", -1, 0));
  settings.path = getenv("FAULT_PATH");
  if (settings.fd < 0 && settings.path == nullptr) refuse("FAULT_FD or FAULT_PATH");
  settings.nth = number_setting("FAULT_NTH", 1, 1);
  settings.every = number_setting("FAULT_EVERY", 0, 0);
  settings.errnum = errno_setting();
  if (settings.errnum == 0 && (settings.calls & ~k_transfers) != 0) refuse("FAULT_ERRNO");
  settings.read_max = static_cast<size_t>(number_setting("FAULT_READ_MAX", 0, 1));
  settings.write_max = static_cast<size_t>(number_setting("FAULT_WRITE_MAX", 0, 1));
  settings.report = getenv("FAULT_REPORT");
  errno = saved;
}

// Parsed before main, so that bad settings show at once; the wrappers also call initialise()
// in case a call comes earlier than this constructor.
__attribute__((constructor)) void on_load() { initialise(); }

/// The next definition of `name` after this library: the C library's, or a sanitizer's.
template <typename Function>
Function* next(Function*& slot, const char* name) {
  if (slot == nullptr) {
    slot = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
    if (slot == nullptr) refuse(name);
  }
  initialise();
  return slot;
}

bool fd_selected(int fd) {
  return fd >= 0 && (fd == settings.fd || fd == path_fd || fd == path_copy);
}

/// Forgets `fd` as a descriptor of FAULT_PATH, once it is closed.
void forget_path_fd(int fd) {
  if (fd == path_fd) path_fd = -1;
  if (fd == path_copy) path_copy = -1;
}

bool stream_selected(FILE* stream) { return stream != nullptr && fd_selected(fileno(stream)); }

bool path_selected(const char* path) {
  return path != nullptr && settings.path != nullptr && strcmp(path, settings.path) == 0;
}

/// Counts a selected call of `call` and says whether it is to fail.
bool strikes(Call call) {
  if ((settings.calls & 1u << call) == 0) return false;
  const long seen = ++calls_seen;
  if (seen == settings.nth) return true;
  return settings.every > 0 && seen > settings.nth && (seen - settings.nth) % settings.every == 0;
}

const char* errno_name(int errnum) {
  if (errnum == 0) return "zero";
  for (const ErrnoName& known : k_errno_names)
    if (errnum == known.value) return known.name;
  return "errno";
}

/// Appends "<function> <fd> <what>" to the report, keeping errno.
void record(Call call, int fd, const char* what) {
  if (settings.report == nullptr) return;
  const int saved = errno;
  char line[64];
  size_t length = 0;
  auto append = [&](const char* text) {
    for (; *text != '\0' && length < sizeof line - 1; ++text) line[length++] = *text;
  };
  append(k_call_names[call]);
  append(" ");
  char digits[16];
  int d = sizeof digits;
  digits[--d] = '\0';
  unsigned value = fd < 0 ? 1u : static_cast<unsigned>(fd);
  do {
    digits[--d] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d > 1);
  if (fd < 0) digits[--d] = '-';
  append(digits + d);
  append(" ");
  append(what);
  line[length++] = '\n';
  const long report = syscall(SYS_openat, AT_FDCWD, settings.report,
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (report >= 0) {
    raw_write_all(static_cast<int>(report), line, length);
    syscall(SYS_close, report);
  }
  errno = saved;
}

/// A failing transfer: -1 with the chosen errno, or 0.
ssize_t fail_transfer(Call call, int fd) {
  record(call, fd, errno_name(settings.errnum));
  if (settings.errnum == 0) return 0;
  errno = settings.errnum;
  return -1;
}

/// A failing stream call: sets the stream's error indicator, as a failing device would. A read
/// from a stream open for output only fails and sets it; like any switch from writing to
/// reading, it first passes on what the stream holds, which the program had written before.
void fail_stream(Call call, FILE* stream) {
  record(call, fileno(stream), errno_name(settings.errnum));
  static_cast<void>(getc(stream));
  errno = settings.errnum;
}

/// Passes a read of `size` bytes on, cut to FAULT_READ_MAX on a selected descriptor.
template <typename Transfer>
ssize_t limited(Call call, int fd, size_t size, size_t limit, Transfer transfer) {
  if (limit == 0 || size <= limit) return transfer(size);
  const ssize_t n = transfer(limit);
  if (n == static_cast<ssize_t>(limit)) record(call, fd, "short");
  return n;
}

using SpliceFunction = ssize_t(int, loff_t*, int, loff_t*, size_t, unsigned);

/// splice or copy_file_range, selected when either side is: it fails as a read or a write
/// does, and is cut to FAULT_READ_MAX from a selected input and to FAULT_WRITE_MAX into a
/// selected output, the smaller where both apply. The report names the selected side.
ssize_t transfer_between(Call call, SpliceFunction* real, int in, loff_t* in_offset, int out,
                         loff_t* out_offset, size_t length, unsigned flags) {
  const bool from = fd_selected(in);
  const bool to = fd_selected(out);
  if (!from && !to) return real(in, in_offset, out, out_offset, length, flags);
  const int fd = from ? in : out;
  if (strikes(call)) return fail_transfer(call, fd);
  size_t limit = from ? settings.read_max : 0;
  if (to && settings.write_max > 0 && (limit == 0 || settings.write_max < limit))
    limit = settings.write_max;
  return limited(call, fd, length, limit,
                 [&](size_t n) { return real(in, in_offset, out, out_offset, n, flags); });
}

template <typename Open>
int open_selected(const char* path, Open real_open) {
  const bool chosen = path_selected(path);
  if (chosen && strikes(k_open)) {
    record(k_open, -1, errno_name(settings.errnum));
    errno = settings.errnum;
    return -1;
  }
  const int fd = real_open();
  if (chosen && fd >= 0) path_fd = fd;
  return fd;
}

mode_t open_mode(int flags, va_list arguments) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    return static_cast<mode_t>(va_arg(arguments, int));
  return 0;
}

using ReadFunction = ssize_t(int, void*, size_t);
using PreadFunction = ssize_t(int, void*, size_t, off_t);
using Pread64Function = ssize_t(int, void*, size_t, off64_t);
using WriteFunction = ssize_t(int, const void*, size_t);
using CloseFunction = int(int);
using DupFunction = int(int);
using OpenFunction = int(const char*, int, ...);
using FwriteFunction = size_t(const void*, size_t, size_t, FILE*);
using StreamFunction = int(FILE*);
using FputsFunction = int(const char*, FILE*);
using FputcFunction = int(int, FILE*);
using PutsFunction = int(const char*);

ReadFunction* real_read;
PreadFunction* real_pread;
Pread64Function* real_pread64;
WriteFunction* real_write;
SpliceFunction* real_splice;
SpliceFunction* real_copy_file_range;
CloseFunction* real_close;
DupFunction* real_dup;
OpenFunction* real_open;
OpenFunction* real_open64;
FwriteFunction* real_fwrite;
StreamFunction* real_fflush;
StreamFunction* real_fclose;
FputsFunction* real_fputs;
FputcFunction* real_fputc;
PutsFunction* real_puts;

/// printf and fprintf: a selected call fails as the other stream calls do.
int print(Call call, FILE* stream, const char* format, va_list arguments) {
  initialise();
  if (stream_selected(stream) && strikes(call)) {
    fail_stream(call, stream);
    return -1;
  }
  return vfprintf(stream, format, arguments);
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t size) {
  ReadFunction* real = next(real_read, "read");
  if (!fd_selected(fd)) return real(fd, buffer, size);
  if (strikes(k_read)) return fail_transfer(k_read, fd);
  return limited(k_read, fd, size, settings.read_max,
                 [&](size_t n) { return real(fd, buffer, n); });
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  PreadFunction* real = next(real_pread, "pread");
  if (!fd_selected(fd)) return real(fd, buffer, size, offset);
  if (strikes(k_pread)) return fail_transfer(k_pread, fd);
  return limited(k_pread, fd, size, settings.read_max,
                 [&](size_t n) { return real(fd, buffer, n, offset); });
}

ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
  Pread64Function* real = next(real_pread64, "pread64");
  if (!fd_selected(fd)) return real(fd, buffer, size, offset);
  if (strikes(k_pread)) return fail_transfer(k_pread, fd);
  return limited(k_pread, fd, size, settings.read_max,
                 [&](size_t n) { return real(fd, buffer, n, offset); });
}

ssize_t write(int fd, const void* buffer, size_t length) {
  WriteFunction* real = next(real_write, "write");
  if (!fd_selected(fd)) return real(fd, buffer, length);
  if (strikes(k_write)) return fail_transfer(k_write, fd);
  return limited(k_write, fd, length, settings.write_max,
                 [&](size_t n) { return real(fd, buffer, n); });
}

ssize_t splice(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
               unsigned flags) {
  return transfer_between(k_splice, next(real_splice, "splice"), in, in_offset, out,
                          out_offset, length, flags);
}

ssize_t copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
                        unsigned flags) {
  return transfer_between(k_copy_file_range, next(real_copy_file_range, "copy_file_range"), in,
                          in_offset, out, out_offset, length, flags);
}

int close(int fd) {
  CloseFunction* real = next(real_close, "close");
  const bool selected = fd_selected(fd);
  const bool fails = selected && strikes(k_close);
  const int result = real(fd);
  forget_path_fd(fd);
  if (!fails) return result;
  record(k_close, fd, errno_name(settings.errnum));
  errno = settings.errnum;
  return -1;
}

int dup(int fd) {
  DupFunction* real = next(real_dup, "dup");
  const int copy = real(fd);
  if (copy >= 0 && fd >= 0 && fd == path_fd) path_copy = copy;
  return copy;
}

int open(const char* path, int flags, ...) {
  OpenFunction* real = next(real_open, "open");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = open_mode(flags, arguments);
  va_end(arguments);
  return open_selected(path, [&] { return real(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
  OpenFunction* real = next(real_open64, "open64");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = open_mode(flags, arguments);
  va_end(arguments);
  return open_selected(path, [&] { return real(path, flags, mode); });
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  FwriteFunction* real = next(real_fwrite, "fwrite");
  if (stream_selected(stream) && strikes(k_fwrite)) {
    fail_stream(k_fwrite, stream);
    return 0;
  }
  return real(buffer, size, count, stream);
}

int fflush(FILE* stream) {
  StreamFunction* real = next(real_fflush, "fflush");
  if (stream_selected(stream) && strikes(k_fflush)) {
    // The device refused what the stream held: it is gone.
    __fpurge(stream);
    fail_stream(k_fflush, stream);
    return EOF;
  }
  return real(stream);
}

int fclose(FILE* stream) {
  StreamFunction* real = next(real_fclose, "fclose");
  const bool fails = stream_selected(stream) && strikes(k_fclose);
  const int fd = stream != nullptr ? fileno(stream) : -1;
  if (fd >= 0) forget_path_fd(fd);
  const int result = real(stream);
  if (!fails) return result;
  record(k_fclose, fd, errno_name(settings.errnum));
  errno = settings.errnum;
  return EOF;
}

int fputs(const char* text, FILE* stream) {
  FputsFunction* real = next(real_fputs, "fputs");
  if (stream_selected(stream) && strikes(k_fputs)) {
    fail_stream(k_fputs, stream);
    return EOF;
  }
  return real(text, stream);
}

int fputc(int c, FILE* stream) {
  FputcFunction* real = next(real_fputc, "fputc");
  if (stream_selected(stream) && strikes(k_fputc)) {
    fail_stream(k_fputc, stream);
    return EOF;
  }
  return real(c, stream);
}

int puts(const char* text) {
  PutsFunction* real = next(real_puts, "puts");
  if (stream_selected(stdout) && strikes(k_puts)) {
    fail_stream(k_puts, stdout);
    return EOF;
  }
  return real(text);
}

int printf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = print(k_printf, stdout, format, arguments);
  va_end(arguments);
  return result;
}

int fprintf(FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = print(k_fprintf, stream, format, arguments);
  va_end(arguments);
  return result;
}

// With _FORTIFY_SOURCE (as in Debian's build flags) the compiler calls these for printf and
// fprintf: to the tests they are the same calls.
int __printf_chk(int, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = print(k_printf, stdout, format, arguments);
  va_end(arguments);
  return result;
}

int __fprintf_chk(FILE* stream, int, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = print(k_fprintf, stream, format, arguments);
  va_end(arguments);
  return result;
}

}  // extern "C"
