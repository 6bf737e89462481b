// SPDX-License-Identifier: MIT
// runnel: start-up, the command line, the loop over the operands and the exit status.
#include <fcntl.h>
#include <getopt.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "fd_io.h"
#include "format_copy.h"
#include "plain_copy.h"

namespace {

constexpr int k_exit_success = 0;
constexpr int k_exit_failure = 1;

constexpr const char* k_text_domain = "quillworks";
constexpr const char* k_command_name = "runnel";
constexpr const char* k_package = "Kestrel quillworks";
constexpr const char* k_version = QUILLWORKS_VERSION;

// Process-wide state.
const char* program_name;          // argv[0], for the usage lines
const char* input_name = "-";      // operand being copied, for diagnostics
bool exit_failed = false;          // a non-fatal failure happened: exit status 1

enum LongOnlyOption { k_option_help = 256, k_option_version };

const option k_long_options[] = {
    {"number-nonblank", no_argument, nullptr, 'b'},
    {"number", no_argument, nullptr, 'n'},
    {"squeeze-blank", no_argument, nullptr, 's'},
    {"show-nonprinting", no_argument, nullptr, 'v'},
    {"show-ends", no_argument, nullptr, 'E'},
    {"show-tabs", no_argument, nullptr, 'T'},
    {"show-all", no_argument, nullptr, 'A'},
    {"help", no_argument, nullptr, k_option_help},
    {"version", no_argument, nullptr, k_option_version},
    {nullptr, 0, nullptr, 0},
};

/// Sets the locale from the environment and binds the message catalogue, once per process.
/// Called only on the way to a text that depends on them: a translated message, the system's
/// error text, the option parser's messages. A copy that writes none of these skips it, and
/// with it the dozens of files that setlocale opens under a UTF-8 locale. Keeps errno, which
/// may hold the failure about to be reported.
void set_up_locale() {
  static bool done = false;
  if (done) return;
  done = true;
  const int saved = errno;
  std::setlocale(LC_ALL, "");
  bindtextdomain(k_text_domain, QUILLWORKS_LOCALEDIR);
  textdomain(k_text_domain);
  errno = saved;
}

__attribute__((format_arg(1))) const char* translate(const char* msgid) {
  set_up_locale();
  return dcgettext(k_text_domain, msgid, LC_MESSAGES);
}

/// Writes "NAME: MESSAGE" and, when `errnum` is nonzero, ": " and the system's text for it, then
/// a newline, to standard error. Standard output is flushed first, so that what was written
/// before comes first.
__attribute__((format(printf, 2, 0))) void report_with(int errnum, const char* format,
                                                        std::va_list args) {
  set_up_locale();  // strerror's text follows LC_MESSAGES too
  std::fflush(stdout);
  const char* separator = errnum != 0 ? ": " : "";
  const char* reason = errnum != 0 ? std::strerror(errnum) : "";
  std::va_list args_again;
  va_copy(args_again, args);
  char* message = nullptr;
  char* line = nullptr;
  int length = vasprintf(&message, format, args);
  if (length >= 0)
    length = asprintf(&line, "%s: %s%s%s\n", program_invocation_name, message, separator, reason);
  // The line goes out in one write, so that other programs writing to the same standard error,
  // as in parallel pipelines, cannot cut into it. Without memory for it, it goes in parts.
  if (length >= 0) {
    (void)!write_fully(STDERR_FILENO, line, static_cast<std::size_t>(length));
  } else {
    std::fprintf(stderr, "%s: ", program_invocation_name);
    std::vfprintf(stderr, format, args_again);
    std::fprintf(stderr, "%s%s\n", separator, reason);
  }
  va_end(args_again);
  std::free(line);
  std::free(message);
}

/// Reports a failure as report_with() does, and goes on.
__attribute__((format(printf, 2, 3))) void report(int errnum, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  report_with(errnum, format, args);
  va_end(args);
}

/// Reports a failure as report_with() does, and ends the process with `status`.
[[noreturn]] __attribute__((format(printf, 3, 4))) void fatal(int status, int errnum,
                                                              const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  report_with(errnum, format, args);
  va_end(args);
  std::exit(status);
}

/// Ends the process after a failure to write: "write error", with the system error text when
/// `errnum` is nonzero.
[[noreturn]] void die_write_error(int errnum) {
  fatal(k_exit_failure, errnum, "%s", translate("write error"));
}

/// Checks the standard output stream after help or version text and closes it; a failure of
/// either is fatal with `status`.
void finish_stdout(int status) {
  if (std::ferror(stdout)) fatal(status, 0, "%s", translate("write error"));
  // Flush, then close the descriptor rather than fclose: the diagnostic path flushes stdout
  // again, which must not meet a closed stream.
  if (std::fflush(stdout) != 0 || close(STDOUT_FILENO) != 0)
    fatal(status, errno, "%s", translate("write error"));
}

[[noreturn]] void print_usage(int status) {
  if (status != k_exit_success) {
    std::fprintf(stderr, translate("Try `%s --help' for more information.\n"), program_name);
    std::exit(k_exit_failure);
  }
  std::printf(translate("Usage: %s [OPTION] [FILE]...\n"), program_name);
  std::fputs(translate("Concatenate FILE(s), or standard input, to standard output.\n"
                       "\n"
                       "  -A, --show-all           equivalent to -vET\n"
                       "  -b, --number-nonblank    number nonblank output lines\n"
                       "  -e                       equivalent to -vE\n"
                       "  -E, --show-ends          display $ at end of each line\n"
                       "  -n, --number             number all output lines\n"
                       "  -s, --squeeze-blank      never more than one single blank line\n"
                       "  -t                       equivalent to -vT\n"
                       "  -T, --show-tabs          display TAB characters as ^I\n"
                       "  -u                       (ignored)\n"
                       "  -v, --show-nonprinting   use ^ and M- notation, except for LFD and TAB\n"
                       "      --help               display this help and exit\n"
                       "      --version            output version information and exit\n"
                       "\n"
                       "With no FILE, or when FILE is -, read standard input.\n"),
             stdout);
  std::puts(translate("\nReport bugs to <quillworks-bugs@kestrel.example>."));
  // A help text that could not be written is a failure, like a version block.
  finish_stdout(k_exit_failure);
  std::exit(k_exit_success);
}

/// Writes the version block to `stream`: "COMMAND (PACKAGE) VERSION", the authors, the licence.
void print_version_block(std::FILE* stream, const char* command_name, const char* package,
                         const char* version, const char* authors) {
  std::fprintf(stream, "%s (%s) %s\n", command_name, package, version);
  std::fprintf(stream, translate("Written by %s.\n"), authors);
  std::fputs("\n", stream);
  std::fprintf(stream, "%s\n",
               translate("Copyright (C) 2026 the Kestrel quillworks developers.\n"
                         "This is free software: you may copy, change and pass it on under its\n"
                         "licence. There is NO WARRANTY, to the extent permitted by law."));
}

/// Reports a non-fatal failure about the current operand and remembers it for the exit status.
void report_operand_failure(int errnum) {
  report(errnum, "%s", input_name);
  exit_failed = true;
}

/// How every operand is copied, and the buffers for it: allocated at the first copy and kept
/// for the whole run.
struct Copier {
  bool formatting = false;
  FormatSwitches switches;
  FormatState state;  // numbering and squeezing run on across operands
  MallocBuffer plain_buffer;
  std::optional<FormatBuffers> format_buffers;
  bool output_pipe_grown = false;  // tried once, before the first splice into it
};

[[noreturn]] void die_memory_exhausted() {
  fatal(k_exit_failure, 0, "%s", translate("Memory exhausted"));
}

/// Reports that the current operand is the output file, and remembers it for the exit status.
void report_input_is_output() {
  report(0, translate("%s: input file is output file"), input_name);
  exit_failed = true;
}

/// Copies `input_fd` to `output`, plain or formatted; `zero_copy` is how the kernel could move
/// the bytes of a plain copy by itself, and `input_is_output` whether the input reads the file
/// the output writes. A read failure, or a formatted copy whose output got ahead of its input
/// in that file, is reported about the current operand; a write failure or a lack of memory
/// for the buffers ends the process.
void copy_input(int input_fd, OutputSink& output, ZeroCopy zero_copy, bool input_is_output,
                Copier& copier) {
  CopyResult result;
  if (!copier.formatting) {
    if (!copier.plain_buffer) copier.plain_buffer = page_aligned_buffer(k_block_size);
    if (!copier.plain_buffer) die_memory_exhausted();
    if (zero_copy == ZeroCopy::splice && !copier.output_pipe_grown) {
      grow_pipe(output.fd);
      copier.output_pipe_grown = true;
    }
    // A plain copy writes what it reads, so an output that starts at or behind the input stays
    // there: the check before the copy is enough.
    result = copy_plain(input_fd, output, zero_copy, copier.plain_buffer.get(), k_block_size);
  } else {
    if (!copier.format_buffers) copier.format_buffers.emplace(k_block_size, k_block_size);
    if (!*copier.format_buffers) die_memory_exhausted();
    result = copy_formatted(input_fd, output, *copier.format_buffers, copier.switches,
                            copier.state, input_is_output);
  }
  if (result == CopyResult::read_error) report_operand_failure(errno);
  if (result == CopyResult::write_error) die_write_error(errno);
  if (result == CopyResult::input_is_output) report_input_is_output();
}

/// Parses the options into `switches`, acting on --help and --version at once, as they come.
/// Returns whether any formatting option was given (-u is not one); with `stop_on_bad` set,
/// returns nullopt at the first bad option, otherwise exits there with the usage message.
std::optional<bool> parse_options(int argc, char** argv, FormatSwitches& switches,
                                  bool stop_on_bad) {
  bool formatting = false;
  for (int c; (c = getopt_long(argc, argv, "benstuvAET", k_long_options, nullptr)) != -1;) {
    switch (c) {
      case 'u': break;  // accepted and ignored: output is never held back anyway
      case k_option_help: print_usage(k_exit_success);
      case k_option_version:
        // TRANSLATORS: the authors, as the version block names them after "Written by".
        print_version_block(stdout, k_command_name, k_package, k_version,
                            translate("the Kestrel quillworks developers"));
        finish_stdout(k_exit_failure);
        std::exit(k_exit_success);
      default:
        if (!apply_format_option(switches, c)) {
          if (stop_on_bad) return std::nullopt;
          print_usage(k_exit_failure);
        }
        formatting = true;
    }
  }
  return formatting;
}

/// Parses the command line as parse_options() does, setting up the locale only when the parser
/// has something to say: a first pass keeps the parser quiet, and only if it meets a bad option
/// is the locale set up and the command line parsed again, messages on. The parser has by then
/// moved the operands it passed behind the options it took, keeping the order within each, so
/// the second pass meets the same options in the same order and stops at the same bad one.
bool parse_command_line(int argc, char** argv, FormatSwitches& switches) {
  opterr = 0;
  if (const std::optional<bool> formatting = parse_options(argc, argv, switches, true))
    return *formatting;
  set_up_locale();
  optind = 0;  // starts the parser afresh, forgetting where it stopped
  opterr = 1;
  switches = FormatSwitches();
  return *parse_options(argc, argv, switches, false);
}

/// Standard output as the file loop sees it.
struct Output {
  OutputSink sink;  // the descriptor, and the largest write it takes, for the whole run
  struct stat status;
  bool check_same_file;  // only a regular file can be read back as an operand while being written
};

/// One pass of the file loop: opens input_name (standard input for "-"), checks that it is not
/// the output file, copies it and closes it. Failures are reported and remembered in
/// exit_failed. Returns whether the operand was standard input.
bool copy_operand(Output& output, Copier& copier) {
  UniqueFd operand;
  const bool reading_stdin = std::strcmp(input_name, "-") == 0;
  if (!reading_stdin) {
    operand = UniqueFd(open(input_name, O_RDONLY | O_CLOEXEC));
    if (!operand) {
      report_operand_failure(errno);
      return false;
    }
  }
  const int input_fd = reading_stdin ? STDIN_FILENO : operand.get();

  struct stat input_status;
  const bool status_known = fstat(input_fd, &input_status) == 0;
  const bool input_is_output =
      status_known && output.check_same_file && same_file(input_status, output.status);
  if (!status_known) {
    report_operand_failure(errno);
  } else if (input_is_output &&
             (!reading_stdin ||
              (!copier.formatting && copy_reads_its_output(STDIN_FILENO, output.sink.fd)))) {
    // A named operand that is the output file would feed the output back into itself.
    // Standard input that is the output file is let through, as callers may rely on, unless
    // its copy would never end: with bytes left to read, the output appends to the file or
    // writes further on in it than the input reads, so that the copy reads back what it
    // writes. Standard input at the end of the file, or read and written at the same place
    // (runnel < f 1<> f writes back the bytes it reads), ends as any copy does. A formatted
    // copy makes its own check before each read, the first one included.
    report_input_is_output();
  } else {
    copy_input(input_fd, output.sink, zero_copy_between(input_status, output.status),
               input_is_output, copier);
  }

  if (operand && operand.close() != 0) report_operand_failure(errno);
  return reading_stdin;
}

}  // namespace

int main(int argc, char** argv) {
  program_name = argv[0];
  Copier copier;
  copier.formatting = parse_command_line(argc, argv, copier.switches);

  Output output;
  output.sink.fd = STDOUT_FILENO;
  if (fstat(output.sink.fd, &output.status) != 0)
    fatal(k_exit_failure, errno, "%s", translate("standard output"));
  output.check_same_file = S_ISREG(output.status.st_mode);

  // With no operands, one pass over "-".
  bool stdin_used = false;
  int index = optind;
  do {
    if (index < argc) input_name = argv[index];
    if (copy_operand(output, copier)) stdin_used = true;
  } while (++index < argc);

  if (stdin_used && close(STDIN_FILENO) != 0) fatal(k_exit_failure, errno, "-");
  if (close(STDOUT_FILENO) != 0) die_write_error(errno);
  return exit_failed ? k_exit_failure : k_exit_success;
}
