// SPDX-License-Identifier: MIT
// Child-process runner and temporary directories for the end-to-end tests.
#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace test_support {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// In the child: puts `fd` at `target` (or closes `target` when fd is -1).
void place(int fd, int target) {
  if (fd < 0) {
    close(target);
    return;
  }
  if (fd != target) {
    dup2(fd, target);
    close(fd);
  }
}

bool has_name(const std::vector<std::string>& env, const std::string& name) {
  for (const std::string& entry : env)
    if (entry.compare(0, name.size() + 1, name + "=") == 0) return true;
  return false;
}

}  // namespace

void OutputDigest::mix(unsigned long long word) {
  m_hash ^= word;
  m_hash *= 1099511628211ULL;
}

void OutputDigest::add(const char* bytes, std::size_t length) {
  m_total += length;
  while (length > 0 && m_partial_size > 0) {
    m_partial[m_partial_size++] = static_cast<unsigned char>(*bytes++);
    --length;
    if (m_partial_size == sizeof m_partial) {
      unsigned long long word;
      std::memcpy(&word, m_partial, sizeof word);
      mix(word);
      m_partial_size = 0;
    }
  }
  for (; length >= 8; bytes += 8, length -= 8) {
    unsigned long long word;
    std::memcpy(&word, bytes, sizeof word);
    mix(word);
  }
  std::memcpy(m_partial + m_partial_size, bytes, length);
  m_partial_size += length;
}

void OutputDigest::add_repeated(const std::string& pattern, unsigned long long count) {
  if (pattern.empty()) return;
  const unsigned long long per_block = 65536 / pattern.size() + 1;
  std::string block;
  for (unsigned long long i = 0; i < per_block; ++i) block += pattern;
  for (; count >= per_block; count -= per_block) add(block);
  for (; count > 0; --count) add(pattern);
}

unsigned long long OutputDigest::value() const {
  OutputDigest copy = *this;
  if (copy.m_partial_size > 0) {
    unsigned char word_bytes[8] = {};
    std::memcpy(word_bytes, copy.m_partial, copy.m_partial_size);
    unsigned long long word;
    std::memcpy(&word, word_bytes, sizeof word);
    copy.mix(word);
  }
  copy.mix(copy.m_total);
  return copy.m_hash;
}

const std::vector<std::string>& test_wrapper() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> split;
    const char* text = std::getenv("QUILLWORKS_TEST_WRAPPER");
    if (text && *text && *text != '/') {
      // The wrapper's program is looked up in PATH once, here: the child calls execve.
      std::string name(text, std::strcspn(text, " "));
      std::string rest(text + name.size());
      const char* search = std::getenv("PATH");
      std::stringstream dirs(search ? search : "/usr/bin:/bin");
      for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + name).c_str(), X_OK) == 0) {
          static std::string resolved;
          resolved = dir + "/" + name + rest;
          text = resolved.c_str();
          break;
        }
      }
    }
    std::string word;
    for (const char* p = text ? text : ""; ; ++p) {
      if (*p == ' ' || *p == '\0') {
        if (!word.empty()) split.push_back(word);
        word.clear();
        if (*p == '\0') break;
      } else {
        word += *p;
      }
    }
    return split;
  }();
  return words;
}

RunResult run_program(const std::string& path, const RunOptions& options) {
  // A test wrapper cannot pass on a closed standard descriptor (it opens files of its own,
  // which take the free number) nor an argv[0] that is a path; such runs go without it.
  static const std::vector<std::string> no_wrapper;
  const bool wrapper_unfit = options.stdin_mode == StdinMode::closed ||
                             options.stdout_mode == StdoutMode::closed ||
                             options.argv0.find('/') != std::string::npos;
  const std::vector<std::string>& outer = wrapper_unfit ? no_wrapper : test_wrapper();
  if (wrapper_unfit && !test_wrapper().empty())
    std::fprintf(stderr, "note: %s runs without the test wrapper\n", path.c_str());
  std::vector<std::string> words = options.wrapper;
  words.insert(words.end(), outer.begin(), outer.end());
  std::vector<std::string> argv_strings;
  argv_strings.push_back(options.argv0.empty() ? path : options.argv0);
  for (const std::string& arg : options.args) argv_strings.push_back(arg);

  // A test wrapper starts the program under the name it is given. For a bare argv[0], that
  // name is a link in a directory of its own put first in PATH, so the program still sees it.
  std::optional<TempDir> name_dir;
  std::string search_path;
  if (!outer.empty() && options.wrapper.empty() && !options.argv0.empty() &&
      options.argv0.find('/') == std::string::npos) {
    name_dir.emplace();
    if (symlink(path.c_str(), name_dir->file(options.argv0).c_str()) != 0) fail("symlink");
    words.push_back(options.argv0);
    search_path = "PATH=" + name_dir->path() + ":/usr/sbin:/usr/bin:/sbin:/bin";
  } else {
    words.push_back(path);
  }

  std::vector<std::string> env = options.env;
  if (!search_path.empty()) env.push_back(search_path);
  if (!has_name(env, "LC_ALL")) env.push_back("LC_ALL=C");
  if (!has_name(env, "PATH")) env.push_back("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
  if (const char* asan = std::getenv("ASAN_OPTIONS"); asan && !has_name(env, "ASAN_OPTIONS"))
    env.push_back(std::string("ASAN_OPTIONS=") + asan);
  if (const char* ubsan = std::getenv("UBSAN_OPTIONS"); ubsan && !has_name(env, "UBSAN_OPTIONS"))
    env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);

  // Everything the child needs is prepared before fork: it only calls async-signal-safe functions.
  std::vector<char*> argv;
  std::string exec_path = words.front();
  if (words.size() == 1) {
    for (std::string& s : argv_strings) argv.push_back(s.data());
  } else {
    for (std::string& s : words) argv.push_back(s.data());
    for (std::size_t i = 1; i < argv_strings.size(); ++i) argv.push_back(argv_strings[i].data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  if (options.stdin_mode == StdinMode::data && pipe2(in_pipe, O_CLOEXEC) != 0) fail("pipe");
  const bool out_piped =
      options.stdout_mode == StdoutMode::capture || options.stdout_mode == StdoutMode::digest;
  if (out_piped && pipe2(out_pipe, O_CLOEXEC) != 0) fail("pipe");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe");

  int in_fd = -1;
  if (options.stdin_mode == StdinMode::data) in_fd = in_pipe[0];
  if (options.stdin_mode == StdinMode::file) {
    in_fd = open(options.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in_fd < 0) fail("open " + options.stdin_path);
    if (lseek(in_fd, options.stdin_offset, SEEK_SET) < 0) fail("lseek " + options.stdin_path);
  }
  int terminal_master = -1;
  if (options.stdin_mode == StdinMode::terminal) {
    terminal_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_master < 0 || grantpt(terminal_master) != 0 || unlockpt(terminal_master) != 0)
      fail("posix_openpt");
    in_fd = open(ptsname(terminal_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (in_fd < 0) fail("open terminal");
    termios modes;
    if (tcgetattr(in_fd, &modes) != 0) fail("tcgetattr");
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(in_fd, TCSANOW, &modes) != 0) fail("tcsetattr");
    // Typed before the program starts; a terminal holds far more than the tests type.
    if (write(terminal_master, options.stdin_data.data(), options.stdin_data.size()) !=
        static_cast<ssize_t>(options.stdin_data.size()))
      fail("write terminal");
  }
  int out_fd = -1;
  switch (options.stdout_mode) {
    case StdoutMode::capture:
    case StdoutMode::digest: out_fd = out_pipe[1]; break;
    case StdoutMode::closed: break;
    case StdoutMode::dev_full: out_fd = open("/dev/full", O_WRONLY | O_CLOEXEC); break;
    case StdoutMode::file:
      out_fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      break;
    case StdoutMode::file_replaced:
      out_fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      break;
    case StdoutMode::file_read_write:
      out_fd = open(options.stdout_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (out_fd >= 0 && lseek(out_fd, options.stdout_offset, SEEK_SET) < 0) fail("lseek");
      break;
    case StdoutMode::descriptor: out_fd = options.stdout_fd; break;
  }
  if (options.stdout_mode != StdoutMode::closed && out_fd < 0) fail("open stdout");

  // The child must not die of a write to a reader that went away before we check its status.
  signal(SIGPIPE, SIG_IGN);

  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    // Move the sources out of the way of 0..2 first, so dup2 never clobbers one another.
    int err_fd = fcntl(err_pipe[1], F_DUPFD, 10);
    int in_copy = in_fd < 0 ? -1 : fcntl(in_fd, F_DUPFD, 10);
    int out_copy = out_fd < 0 ? -1 : fcntl(out_fd, F_DUPFD, 10);
    place(in_copy, 0);
    place(out_copy, 1);
    place(err_fd, 2);
    signal(SIGPIPE, SIG_DFL);
    if (options.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
      if (!options.file_size_signal) signal(SIGXFSZ, SIG_IGN);
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(exec_path.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  close(err_pipe[1]);
  if (options.stdin_mode == StdinMode::data) close(in_pipe[0]);
  if (options.stdin_mode == StdinMode::file || options.stdin_mode == StdinMode::terminal)
    close(in_fd);
  if (out_piped) close(out_pipe[1]);
  else if (out_fd >= 0 && options.stdout_mode != StdoutMode::descriptor) close(out_fd);

  RunResult result;
  OutputDigest digest;
  std::size_t written = 0;
  int feed = in_pipe[1];
  if (feed >= 0) {
    set_nonblocking(feed);
    if (options.stdin_data.empty()) {
      close(feed);
      feed = -1;
    }
  }
  int out_read = out_pipe[0];
  int err_read = err_pipe[0];
  while (feed >= 0 || out_read >= 0 || err_read >= 0) {
    pollfd fds[3];
    int n = 0;
    if (feed >= 0) fds[n++] = {feed, POLLOUT, 0};
    if (out_read >= 0) fds[n++] = {out_read, POLLIN, 0};
    if (err_read >= 0) fds[n++] = {err_read, POLLIN, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == feed) {
        ssize_t w = write(feed, options.stdin_data.data() + written,
                          options.stdin_data.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = options.stdin_data.size();
        if (written == options.stdin_data.size()) {
          close(feed);
          feed = -1;
        }
        continue;
      }
      static char buffer[1 << 20];
      ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      if (r > 0 && fds[i].fd == out_read && options.stdout_mode == StdoutMode::digest) {
        digest.add(buffer, static_cast<std::size_t>(r));
        result.out_size += static_cast<unsigned long long>(r);
      } else if (r > 0) {
        (fds[i].fd == out_read ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        (fds[i].fd == out_read ? out_read : err_read) = -1;
      }
    }
  }

  int wstatus = 0;
  rusage usage{};
  while (wait4(pid, &wstatus, 0, &usage) < 0)
    if (errno != EINTR) fail("wait4");
  result.out_digest = digest.value();
  result.peak_rss_kib = usage.ru_maxrss;
  if (terminal_master >= 0) close(terminal_master);
  if (WIFEXITED(wstatus)) {
    result.exited = true;
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillworks-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
  std::string path = file(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool running_as_root() { return geteuid() == 0; }

std::vector<std::string> unprivileged_wrapper() {
  if (!running_as_root()) return {};
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

namespace {

// Outputs up to this size are printed whole; of longer ones, an excerpt of this size. Escaped
// bytes such as \xFE take four characters, so an excerpt prints at most about 400.
constexpr std::size_t k_excerpt_bytes = 96;

std::string excerpt(const std::string& bytes, std::size_t from) {
  std::string text = testing::PrintToString(bytes.substr(from, k_excerpt_bytes));
  if (from > 0) text = "..." + text;
  if (from + k_excerpt_bytes < bytes.size()) text += "...";
  return text;
}

}  // namespace

std::string describe_difference(const std::string& actual, const std::string& expected) {
  if (actual.size() <= k_excerpt_bytes && expected.size() <= k_excerpt_bytes)
    return "  actual:   " + testing::PrintToString(actual) +
           "\n  expected: " + testing::PrintToString(expected);
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  // A little of what both share, for the context.
  const std::size_t from = at > k_excerpt_bytes / 4 ? at - k_excerpt_bytes / 4 : 0;
  return "  first difference at byte " + std::to_string(at) + " (actual " +
         std::to_string(actual.size()) + " bytes, expected " + std::to_string(expected.size()) +
         "); from byte " + std::to_string(from) + ":\n  actual:   " + excerpt(actual, from) +
         "\n  expected: " + excerpt(expected, from);
}

void expect_bytes(const std::string& actual, const std::string& expected, const std::string& what,
                  std::source_location where) {
  if (actual != expected)
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << what << " differ\n" << describe_difference(actual, expected);
}

void expect_run(const RunResult& r, int status, const std::string& out, const std::string& err,
                std::source_location where) {
  const char* file = where.file_name();
  const int line = static_cast<int>(where.line());
  if (!r.exited) {
    GTEST_FAIL_AT(file, line) << "killed by signal " << r.signal << " (" << strsignal(r.signal)
                              << ")\n  standard error: " << excerpt(r.err, 0);
    return;
  }
  if (r.status != status)
    ADD_FAILURE_AT(file, line) << "exit status " << r.status << ", expected " << status;
  if (r.out != out)
    ADD_FAILURE_AT(file, line) << "standard output differs\n" << describe_difference(r.out, out);
  if (r.err != err)
    ADD_FAILURE_AT(file, line) << "standard error differs\n" << describe_difference(r.err, err);
}

}  // namespace test_support
