// SPDX-License-Identifier: MIT
// runnel end to end: the built program's output, diagnostics and exit status, byte for byte.
#include <arpa/inet.h>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"
#include "runnel_texts.h"

namespace {

using test_support::read_file;
using test_support::RunOptions;
using test_support::RunResult;
using test_support::StdinMode;
using test_support::StdoutMode;
using test_support::TempDir;
using test_support::expect_run;
using test_support::expect_bytes;

RunResult runnel(RunOptions options) {
  options.argv0 = "runnel";
  return test_support::run_program(RUNNEL_PATH, options);
}

RunResult runnel(std::vector<std::string> args, std::string stdin_data = "") {
  RunOptions options;
  options.args = std::move(args);
  options.stdin_data = std::move(stdin_data);
  return runnel(options);
}

using runnel_texts::k_help;
using runnel_texts::k_try;
using runnel_texts::k_version;

TEST(Runnel, HelpAndVersionActDuringParsing) {
  struct Row {
    std::vector<std::string> args;
    const std::string& out;
  };
  const Row rows[] = {
      {{"--help"}, k_help},
      {{"--version"}, k_version},
      {{"-n", "--help", "no-such-file"}, k_help},
      {{"--version", "--help"}, k_version},
      {{"--help", "--bogus"}, k_help},
      {{"--vers"}, k_version},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.front() + " ...");
    expect_run(runnel(row.args), 0, row.out, "");
  }
}

TEST(Runnel, BadOptionsGiveUsageAndStatusOne) {
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const Row rows[] = {
      {{"-x"}, "runnel: invalid option -- 'x'\n" + k_try},
      {{"-nz"}, "runnel: invalid option -- 'z'\n" + k_try},
      {{"--bogus"}, "runnel: unrecognized option '--bogus'\n" + k_try},
      {{"--help=yes"}, "runnel: option '--help' doesn't allow an argument\n" + k_try},
      {{"--num"},
       "runnel: option '--num' is ambiguous; possibilities: '--number-nonblank' '--number'\n" +
           k_try},
      // An error before --help stops the parse there.
      {{"-x", "--help"}, "runnel: invalid option -- 'x'\n" + k_try},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.front());
    expect_run(runnel(row.args, "unread\n"), 1, "", row.err);
  }
}

TEST(Runnel, HelpAndVersionReportWriteErrors) {
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    RunOptions options;
    options.args = {option};
    options.stdout_mode = StdoutMode::dev_full;
    expect_run(runnel(options), 1, "", "runnel: write error: No space left on device\n");
  }
}

TEST(Runnel, CopiesOperandsAndStandardInput) {
  TempDir dir;
  std::string a = dir.write("a", "alpha\n");
  std::string b = dir.write("b", "beta");
  struct Row {
    std::vector<std::string> args;
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {{}, "from stdin\n", "from stdin\n"},
      {{"-"}, "from stdin\n", "from stdin\n"},
      {{a, b}, "", "alpha\nbeta"},
      {{a, "-", b}, "middle\n", "alpha\nmiddle\nbeta"},
      // Standard input is read on both passes; the second finds its end at once.
      {{"-", "-"}, "once\n", "once\n"},
      {{"-n", "-", a, "-"}, "x\n", "     1\tx\n     2\talpha\n"},
      // Options and operands mix; "--" ends the options.
      {{a, "-E"}, "", "alpha$\n"},
      {{"-u", a}, "", "alpha\n"},
      {{"-n", "-b", a}, "", "     1\talpha\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.out);
    expect_run(runnel(row.args, row.in), 0, row.out, "");
  }
}

// On a terminal the end of input is only the end of one read: each "-" reads on from there.
TEST(Runnel, StandardInputIsReadOnEveryPass) {
  TempDir dir;
  std::string a = dir.write("a", "file\n");
  RunOptions options;
  options.stdin_mode = StdinMode::terminal;
  options.stdin_data = "first\n\x04second\n\x04third\n\x04";
  options.args = {"-", a, "-", "-"};
  expect_run(runnel(options), 0, "first\nfile\nsecond\nthird\n", "");
  options.args = {"-n", "-", "-"};
  expect_run(runnel(options), 0, "     1\tfirst\n     2\tsecond\n", "");
}

TEST(Runnel, DoubleDashEndsOptions) {
  TempDir dir;
  dir.write("-n", "dash n\n");
  dir.write("-E", "dash E\n");
  RunOptions options;
  options.cwd = dir.path();
  options.args = {"-E", "--", "-n", "-E"};
  expect_run(runnel(options), 0, "dash n$\ndash E$\n", "");
}

TEST(Runnel, LargeInputPassesUnchanged) {
  std::string data;
  for (int i = 0; data.size() < 1000000; ++i) data += "line " + std::to_string(i) + "\t\x01\xff\n";
  expect_run(runnel({}, data), 0, data, "");
  expect_run(runnel({"-u", "-"}, data), 0, data, "");
}

// The plain copy lets the kernel move the bytes into a pipe or between regular files, and reads
// and writes them otherwise: the same bytes come out into every kind of output, from files of
// several pipefuls, empty ones, files of the kernel's own that claim a size they do not hold
// (0 under /proc, a page under /sys), and standard input read twice as a pipe or as a file.
TEST(Runnel, PlainCopyGivesTheSameBytesIntoEveryOutput) {
  TempDir dir;
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
    big += "row " + std::to_string(i) + "\t\xfe\n";
  const std::string a = dir.write("a", "alpha\n");
  const std::string b = dir.write("b", big);
  const std::string empty = dir.write("empty", "");
  const std::string in = dir.write("in", "standard input\n");
  const std::string proc = "/proc/sys/kernel/ostype";
  const std::string sys = "/sys/devices/system/cpu/possible";
  if (access(sys.c_str(), R_OK) != 0) GTEST_SKIP() << sys << " is missing: is /sys mounted?";
  struct Row {
    std::vector<std::string> args;
    StdinMode stdin_mode;
    std::string out;
  };
  const Row rows[] = {
      {{a, b, empty, a}, StdinMode::data, "alpha\n" + big + "alpha\n"},
      {{empty}, StdinMode::data, ""},
      {{proc, sys, a}, StdinMode::data, read_file(proc) + read_file(sys) + "alpha\n"},
      {{a, "-", b, "-"}, StdinMode::data, "alpha\nstandard input\n" + big},
      {{a, "-", b, "-"}, StdinMode::file, "alpha\nstandard input\n" + big},
  };
  const std::string out_file = dir.file("out");
  for (StdoutMode mode : {StdoutMode::capture, StdoutMode::file_replaced, StdoutMode::file}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::PrintToString(row.args) + " into output mode " +
                   std::to_string(static_cast<int>(mode)));
      dir.write("out", "earlier contents\n");
      RunOptions options;
      options.args = row.args;
      options.stdin_mode = row.stdin_mode;
      options.stdin_data = "standard input\n";
      options.stdin_path = in;
      options.stdout_mode = mode;
      options.stdout_path = out_file;
      const RunResult result = runnel(options);
      if (mode == StdoutMode::capture) {
        expect_run(result, 0, row.out, "");
      } else {
        expect_run(result, 0, "", "");
        const std::string kept = mode == StdoutMode::file ? "earlier contents\n" : "";
        expect_bytes(read_file(out_file), kept + row.out, "the output file's bytes");
      }
    }
  }
  // Standard input is left at its end for the next reader of the same open file.
  for (StdoutMode mode : {StdoutMode::capture, StdoutMode::file_replaced}) {
    RunOptions options;
    options.wrapper = {"/bin/sh", "-c", "\"$0\" \"$@\" && \"$0\" \"$@\""};
    options.args = {"-"};
    options.stdin_mode = StdinMode::file;
    options.stdin_path = b;
    options.stdout_mode = mode;
    options.stdout_path = out_file;
    const RunResult result = runnel(options);
    expect_run(result, 0, mode == StdoutMode::capture ? big : "", "");
    if (mode != StdoutMode::capture) {
      expect_bytes(read_file(out_file), big, "the output file's bytes");
    }
  }
}

TEST(Runnel, NumbersAndSqueezesAcrossOperands) {
  TempDir dir;
  std::string a = dir.write("a", "a\n\n");
  std::string b = dir.write("b", "\n\nb");
  std::string c = dir.write("c", "c\n");
  expect_run(runnel({"-sn", a, b, c}), 0, "     1\ta\n     2\t\n     3\tbc\n", "");
}

TEST(Runnel, OperandFailuresAreReportedAndOthersCopied) {
  TempDir dir;
  std::string a = dir.write("a", "a\n");
  std::string b = dir.write("b", "b\n");
  std::string missing = dir.file("missing");
  struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  };
  const Row rows[] = {
      {{a, missing, b}, "a\nb\n", "runnel: " + missing + ": No such file or directory\n"},
      {{a, dir.path(), b}, "a\nb\n", "runnel: " + dir.path() + ": Is a directory\n"},
      {{"-n", a, dir.path(), b}, "     1\ta\n     2\tb\n",
       "runnel: " + dir.path() + ": Is a directory\n"},
      {{"-v", missing, missing}, "",
       "runnel: " + missing + ": No such file or directory\nrunnel: " + missing +
           ": No such file or directory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    expect_run(runnel(row.args), 1, row.out, row.err);
  }
}

TEST(Runnel, UnreadableOperandIsReported) {
  if (test_support::running_as_root() && access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "running as root without setpriv to drop privileges";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string secret = dir.write("secret", "hidden\n");
  // Mode 000: unreadable for its owner too, and root reads it as nobody below.
  ASSERT_EQ(chmod(secret.c_str(), 0), 0);
  if (!test_support::running_as_root() && access(secret.c_str(), R_OK) == 0)
    GTEST_SKIP() << "this user reads files of mode 000 (CAP_DAC_OVERRIDE)";
  std::string open = dir.write("open", "open\n");
  ASSERT_EQ(chmod(open.c_str(), 0644), 0);
  RunOptions options;
  options.args = {secret, open};
  std::string name = "runnel";
  options.wrapper = test_support::unprivileged_wrapper();
  // setpriv starts the program under its path, so that is the name in the diagnostic.
  if (!options.wrapper.empty()) name = RUNNEL_PATH;
  expect_run(runnel(options), 1, "open\n", name + ": " + secret + ": Permission denied\n");
}

TEST(Runnel, InputFileIsOutputFile) {
  TempDir dir;
  std::string other = dir.write("other", "other\n");
  struct Row {
    std::vector<std::string> args;
    std::string appended;
  };
  const Row rows[] = {
      {{}, "other\n"},
      {{"-n"}, "     1\tother\n"},
      {{"-u"}, "other\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.appended);
    std::string out = dir.write("out", "start\n");
    RunOptions options;
    options.args = row.args;
    options.args.insert(options.args.end(), {out, other});
    options.stdout_mode = StdoutMode::file;
    options.stdout_path = out;
    expect_run(runnel(options), 1, "", "runnel: " + out + ": input file is output file\n");
    EXPECT_EQ(read_file(out), "start\n" + row.appended);
  }
}

// Standard input that is the output file is copied when the copy ends, and left out as "-" when
// it would read back what it writes and never end. Each child runs under a file-size limit, so
// that such a copy fails instead of filling the disk. Without options the copy between the two
// files could go through copy_file_range.
TEST(Runnel, StandardInputThatIsTheOutputFile) {
  TempDir dir;
  const std::string other = dir.write("other", "other\n");
  const std::string text = "one\ntwo\n";
  const std::string caught = "runnel: -: input file is output file\n";
  struct Row {
    const char* name;
    std::vector<std::string> args;
    StdoutMode mode;  // file: appending (>>); file_read_write: 1<>
    long long stdin_offset;
    long long stdout_offset;
    int status;
    std::string err;
    std::string after;  // the file's contents afterwards
    std::string before = "one\ntwo\n";
  };
  const StdoutMode append = StdoutMode::file;
  const StdoutMode read_write = StdoutMode::file_read_write;
  const Row rows[] = {
      {"< f >> f", {}, append, 0, 0, 1, caught, text},
      {"-n < f >> f", {"-n"}, append, 0, 0, 1, caught, text},
      {"- other < f >> f", {"-", other}, append, 0, 0, 1, caught, text + "other\n"},
      {"-v - other < f >> f", {"-v", "-", other}, append, 0, 0, 1, caught, text + "other\n"},
      // Standard input already at its end: nothing to copy.
      {"< f >> f, f read", {}, append, 8, 0, 0, "", text},
      {"-n < f >> f, f read", {"-n"}, append, 8, 0, 0, "", text},
      // The same place of one file: the same bytes go back, unless each line grows and the
      // output overtakes the input, caught before the next read.
      {"< f 1<> f", {}, read_write, 0, 0, 0, "", text},
      {"-n < f 1<> f", {"-n"}, read_write, 0, 0, 1, caught, "     1\tone\n     2\ttwo\n"},
      // The output ahead of the input, or behind it.
      {"< f 1<> f, output ahead", {}, read_write, 0, 4, 1, caught, text},
      {"-E < f 1<> f, output ahead", {"-E"}, read_write, 0, 4, 1, caught, text},
      {"< f 1<> f, input ahead", {}, read_write, 4, 0, 0, "", "two\ntwo\n"},
      // Under -s the empty lines read back can vanish, and such a copy may end. It cannot once
      // the output writes at the end of the file and a byte other than a newline is left to
      // read back; until then, the input can still overtake it.
      {"-sv < f 1<> f", {"-sv"}, read_write, 0, 0, 0, "", "^A\n\n", "\x01\n"},
      {"-sT < f 1<> f", {"-sT"}, read_write, 0, 0, 0, "", "^I\n\n", "\t\n"},
      {"-s < f 1<> f, output ahead", {"-s"}, read_write, 0, 2, 0, "", "a\na\n\n\n\n",
       "a\n\n\n\n\n\n"},
      {"-s < f >> f, newlines", {"-s"}, append, 0, 0, 0, "", "\n\n\n\n", "\n\n\n"},
      // A block read past the output: the numbered lines written after it are not read back.
      {"-sn < f 1<> f, longer than a block", {"-sn"}, read_write, 0, 0, 0, "",
       "     1\t" + std::string(131064, 'a') + "\n     2\t\n     3\t     2\t\n     4\t\n" +
           std::string(961, '\n'),
       std::string(131064, 'a') + std::string(1000, '\n')},
      {"-s < f >> f", {"-s"}, append, 0, 0, 1, caught, text},
      {"-sn < f 1<> f", {"-sn"}, read_write, 0, 0, 1, caught, "     1\tone\n     2\ttwo\n"},
      {"-s < f 1<> f, output ahead, text", {"-s"}, read_write, 0, 4, 1, caught,
       "one\none\ntwo\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string f = dir.write("f", row.before);
    RunOptions options;
    options.args = row.args;
    options.stdin_mode = StdinMode::file;
    options.stdin_path = f;
    options.stdin_offset = row.stdin_offset;
    options.stdout_mode = row.mode;
    options.stdout_path = f;
    options.stdout_offset = row.stdout_offset;
    options.file_size_limit = 4 << 20;
    expect_run(runnel(options), row.status, "", row.err);
    // A copy that ran on until the limit leaves megabytes: their size says enough.
    const std::string after = read_file(f);
    EXPECT_EQ(after.size(), row.after.size());
    if (after.size() == row.after.size()) {
      EXPECT_EQ(after, row.after);
    }
  }
}

// With standard input closed, the operand may be opened as descriptor 0; it is still an operand.
TEST(Runnel, OperandOpenedAsDescriptorZeroIsStillChecked) {
  TempDir dir;
  std::string out = dir.write("out", "start\n");
  RunOptions options;
  options.args = {out};
  options.stdin_mode = StdinMode::closed;
  options.stdout_mode = StdoutMode::file;
  options.stdout_path = out;
  expect_run(runnel(options), 1, "", "runnel: " + out + ": input file is output file\n");
  EXPECT_EQ(read_file(out), "start\n");
}

TEST(Runnel, WriteErrorsAreFatal) {
  TempDir dir;
  std::string a = dir.write("a", "a\n");
  std::string b = dir.write("b", "b\n");
  for (const char* option : {"-u", "-n", "-A"}) {
    SCOPED_TRACE(option);
    RunOptions options;
    options.args = {option, a, dir.file("missing-after-write-error"), b};
    options.stdout_mode = StdoutMode::dev_full;
    // The write error ends the process before the missing operand is looked at.
    expect_run(runnel(options), 1, "", "runnel: write error: No space left on device\n");
  }
}

// A datagram socket sends each write as one datagram and refuses one longer than UDP allows
// (65,507 bytes): the output goes again in pieces of 512 bytes, every byte in order.
TEST(Runnel, DatagramOutputIsWrittenInSmallPieces) {
  const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(receiver, 0);
  ASSERT_GE(sender, 0);
  // Loopback drops datagrams only when the receiving buffer is full; a thread drains it.
  const int buffer_size = 4 << 20;
  setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // Without a loopback interface that is up (an isolated build, say), connect fails.
  if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(sender);
    close(receiver);
    GTEST_SKIP() << "no loopback interface to send datagrams on: " << std::strerror(error);
  }

  TempDir dir;
  std::string text;
  std::string numbered;
  for (int i = 1; text.size() < 70000; ++i) {
    const std::string line = "line " + std::to_string(i) + " of a file too long for a datagram\n";
    char field[16];
    std::snprintf(field, sizeof field, "%6d\t", i);
    text += line;
    numbered += field + line;
  }
  const std::string file = dir.write("f", text);
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const Row rows[] = {{{file}, text}, {{"-n", file}, numbered}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.front());
    std::string received;
    std::size_t largest = 0;
    std::thread reader([&] {
      static char datagram[1 << 17];
      // Until the empty datagram sent after the run; a run that sends nothing more for 10 s
      // has ended badly.
      for (pollfd p{receiver, POLLIN, 0}; poll(&p, 1, 10000) > 0;) {
        const ssize_t n = recv(receiver, datagram, sizeof datagram, 0);
        if (n <= 0) break;
        received.append(datagram, static_cast<std::size_t>(n));
        largest = std::max(largest, static_cast<std::size_t>(n));
      }
    });
    RunOptions options;
    options.args = row.args;
    options.stdout_mode = StdoutMode::descriptor;
    options.stdout_fd = sender;
    const RunResult result = runnel(options);
    send(sender, "", 0, 0);
    reader.join();
    expect_run(result, 0, "", "");
    EXPECT_EQ(largest, 512u);
    EXPECT_EQ(received.size(), row.out.size());
    if (received.size() == row.out.size()) {
      EXPECT_TRUE(received == row.out);
    }
  }
  close(sender);
  close(receiver);
}

TEST(Runnel, ClosedStandardOutput) {
  RunOptions options;
  options.stdout_mode = StdoutMode::closed;
  options.stdin_data = "data\n";
  expect_run(runnel(options), 1, "", "runnel: standard output: Bad file descriptor\n");
}

TEST(Runnel, ClosedStandardInput) {
  RunOptions options;
  options.args = {"-"};
  options.stdin_mode = StdinMode::closed;
  // The operand fails, then closing the never-opened standard input is fatal.
  expect_run(runnel(options), 1, "",
             "runnel: -: Bad file descriptor\nrunnel: -: Bad file descriptor\n");
}

TEST(Runnel, DiagnosticsNameTheProgramAsInvoked) {
  RunOptions options;
  options.argv0 = "/opt/tools/copier";
  options.args = {"/nonexistent/x"};
  RunResult r = test_support::run_program(RUNNEL_PATH, options);
  expect_run(r, 1, "", "/opt/tools/copier: /nonexistent/x: No such file or directory\n");
}

TEST(Runnel, ExamplesRoundTrip) {
  std::string logbook = std::string(EXAMPLES_DIR) + "/logbook.txt";
  RunResult r = runnel({logbook});
  expect_run(r, 0, read_file(logbook), "");
}

#ifdef RUNNEL_PSEUDO_LOCALE_PATH
// Every non-empty line with "~ " in front: what the pseudo-translation of the tests makes.
std::string pseudo(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && c != '\n') out += "~ ";
    out += c;
    line_start = c == '\n';
  }
  return out;
}

RunResult runnel_in(const std::string& locale, RunOptions options) {
  options.argv0 = "runnel";
  options.env = {"LC_ALL=" + locale, "LANGUAGE=xx"};
  return test_support::run_program(RUNNEL_PSEUDO_LOCALE_PATH, options);
}

TEST(Runnel, TextsGoThroughTheCatalogue) {
  // The C library of another byte order cannot load this machine's compiled locales.
  if (locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr))
    freelocale(utf8);
  else
    GTEST_SKIP() << "the C library cannot load the locale C.UTF-8";
  TempDir dir;
  std::string out_file = dir.write("out", "");
  const std::string version_first = "runnel (Kestrel quillworks) " QUILLWORKS_VERSION "\n";
  struct Row {
    std::vector<std::string> args;
    StdoutMode stdout_mode;
    int status;
    std::string out;
    std::string err;
  };
  const Row rows[] = {
      {{"--help"}, StdoutMode::capture, 0, pseudo(k_help), ""},
      // The authors' name is a text of its own inside "Written by %s.".
      {{"--version"}, StdoutMode::capture, 0,
       version_first + "~ Written by ~ " +
           pseudo(k_version.substr(version_first.size())).substr(std::strlen("~ Written by ")),
       ""},
      {{"-x"}, StdoutMode::capture, 1, "", "runnel: invalid option -- 'x'\n" + pseudo(k_try)},
      {{"-n"}, StdoutMode::dev_full, 1, "", "runnel: ~ write error: No space left on device\n"},
      {{"--help"}, StdoutMode::dev_full, 1, "", "runnel: ~ write error: No space left on device\n"},
      {{}, StdoutMode::closed, 1, "", "runnel: ~ standard output: Bad file descriptor\n"},
      {{out_file}, StdoutMode::file, 1, "", "runnel: ~ " + out_file + ": input file is output file\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    RunOptions options;
    options.args = row.args;
    options.stdin_data = "x\n";
    options.stdout_mode = row.stdout_mode;
    options.stdout_path = out_file;
    expect_run(runnel_in("C.UTF-8", options), row.status, row.out, row.err);
  }
  // Under the C locale the catalogue is never consulted.
  RunOptions options;
  options.args = {"--help"};
  expect_run(runnel_in("C", options), 0, k_help, "");
}
#endif

}  // namespace
