// SPDX-License-Identifier: MIT
// Runs a built program in a child process and captures what it says: shared by the end-to-end tests.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <vector>

namespace test_support {

/// Where the child's standard output goes.
enum class StdoutMode {
  capture,    ///< a pipe; the bytes end up in RunResult::out
  closed,     ///< descriptor 1 is closed before exec
  dev_full,   ///< /dev/full: every write fails with ENOSPC
  file,       ///< RunOptions::stdout_path, opened for appending
  file_replaced,  ///< RunOptions::stdout_path, emptied and written from its start
  /// RunOptions::stdout_path opened for reading and writing, neither emptied nor appended to
  /// (the shell's 1<>), at RunOptions::stdout_offset.
  file_read_write,
  /// RunOptions::stdout_fd, a descriptor of the caller's (a socket, say), which stays open.
  descriptor,
  /// A pipe whose bytes are counted and hashed but not kept (RunResult::out_size and
  /// out_digest), for outputs too large to hold.
  digest,
};

/// Where the child's standard input comes from.
enum class StdinMode {
  data,    ///< a pipe fed with RunOptions::stdin_data, then closed
  closed,  ///< descriptor 0 is closed before exec
  file,    ///< RunOptions::stdin_path, opened read-only, at RunOptions::stdin_offset
  /// A terminal without echo, typed RunOptions::stdin_data in advance: a "\x04" at the start
  /// of a line ends one read of the input, and the next read goes on after it.
  terminal,
};

struct RunOptions {
  std::vector<std::string> args;  ///< arguments after argv[0]
  std::string argv0;              ///< argv[0]; the program path when empty
  StdinMode stdin_mode = StdinMode::data;
  std::string stdin_data;
  std::string stdin_path;
  long long stdin_offset = 0;
  StdoutMode stdout_mode = StdoutMode::capture;
  std::string stdout_path;
  long long stdout_offset = 0;  ///< where StdoutMode::file_read_write starts writing
  int stdout_fd = -1;           ///< for StdoutMode::descriptor
  /// Environment entries NAME=VALUE; LC_ALL=C and PATH are always there unless overridden.
  std::vector<std::string> env;
  /// Largest file the child may write, in bytes (RLIMIT_FSIZE), or -1 for no limit. Writes
  /// past it fail with EFBIG (SIGXFSZ is ignored in the child)...
  long long file_size_limit = -1;
  /// ... unless this is set: SIGXFSZ then keeps its default action, as after `ulimit -f`, and
  /// kills a child that does not ignore it itself.
  bool file_size_signal = false;
  /// Working directory of the child; the caller's when empty.
  std::string cwd;
  /// Run the program through these words first, e.g. {"setpriv", "--reuid=65534", ...}.
  std::vector<std::string> wrapper;
};

struct RunResult {
  bool exited = false;  ///< true when the child called exit (not killed by a signal)
  int status = -1;      ///< exit status when exited
  int signal = 0;       ///< terminating signal otherwise
  std::string out;
  std::string err;
  unsigned long long out_size = 0;    ///< bytes written to standard output (digest mode)
  unsigned long long out_digest = 0;  ///< OutputDigest of those bytes (digest mode)
  long peak_rss_kib = 0;              ///< the child's peak resident memory
};

/// An order-sensitive 64-bit hash of a byte stream fed in pieces of any sizes (FNV-1a over
/// 8-byte words, so that gigabytes hash quickly); what StdoutMode::digest computes.
class OutputDigest {
 public:
  void add(const char* bytes, std::size_t length);
  void add(const std::string& bytes) { add(bytes.data(), bytes.size()); }
  /// Adds `count` copies of `pattern`.
  void add_repeated(const std::string& pattern, unsigned long long count);
  /// The hash of everything added, the last partial word padded with zero bytes.
  unsigned long long value() const;

 private:
  unsigned long long m_hash = 14695981039346656037ULL;
  unsigned char m_partial[8] = {};
  std::size_t m_partial_size = 0;
  unsigned long long m_total = 0;
  void mix(unsigned long long word);
};

/// Words placed in front of every program the tests run, taken from the environment variable
/// QUILLWORKS_TEST_WRAPPER (split at spaces), e.g. "valgrind --error-exitcode=99"; empty when it
/// is not set.
const std::vector<std::string>& test_wrapper();
/// True when the tests run their programs under a wrapper (their memory and speed then differ).
inline bool running_under_wrapper() { return !test_wrapper().empty(); }

/// Runs `path` as described by `options` and waits for it. Throws std::runtime_error when the
/// child cannot be started.
RunResult run_program(const std::string& path, const RunOptions& options = {});

/// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  /// Path of `name` inside the directory.
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  /// Creates `name` inside the directory with exactly `bytes`; returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string m_path;
};

/// Reads a whole file; throws std::runtime_error when it cannot.
std::string read_file(const std::string& path);

/// True when the process runs as root (permission tests then drop privileges or skip).
bool running_as_root();

/// Words that start a program as the user nobody when running as root, so that permissions
/// apply (RunOptions::wrapper); empty otherwise.
std::vector<std::string> unprivileged_wrapper();

/// How two byte strings differ, in a few hundred bytes whatever their sizes: the whole of each
/// when both are short; else their sizes, the offset of the first difference and an excerpt of
/// each around it.
std::string describe_difference(const std::string& actual, const std::string& expected);

/// Fails at the caller's line unless `actual` equals `expected`, saying how they differ with
/// describe_difference (so that a large output is never printed whole); `what` names them.
void expect_bytes(const std::string& actual, const std::string& expected,
                  const std::string& what = "the bytes",
                  std::source_location where = std::source_location::current());

/// Checks that the run exited by itself (a crash never counts as the expected failure), then its
/// status, standard output and standard error, byte for byte. Failures are reported at the
/// caller's line, with describe_difference; a crash is a fatal failure there.
void expect_run(const RunResult& r, int status, const std::string& out,
                const std::string& err = "",
                std::source_location where = std::source_location::current());

}  // namespace test_support
