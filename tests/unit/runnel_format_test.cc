// SPDX-License-Identifier: MIT
// The formatted copy over real descriptors: options, state across operands, block sizes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fd_io.h"
#include "format_copy.h"
#include "format_rows.h"
#include "format_rules.h"
#include "memory_file.h"
#include "row_support.h"

namespace {

using namespace std::string_literals;

// Switches as the command-line letters set them.
FormatSwitches switches(const std::string& letters) {
  FormatSwitches s;
  for (char c : letters)
    if (!apply_format_option(s, c)) throw std::invalid_argument("unknown switch letter");
  return s;
}

using test_support::contents;
using test_support::memory_file;

// Copies each operand in turn with one carried state, as the program does.
std::string format(const std::vector<std::string>& operands, const FormatSwitches& sw,
                   FormatState& state, std::size_t insize = 512, std::size_t outsize = 512,
                   const FormatRow* row = best_format_row()) {
  UniqueFd output = memory_file("");
  OutputSink sink{output.get()};
  for (const std::string& operand : operands) {
    // Fresh buffers of exactly the needed sizes for each operand, so that AddressSanitizer
    // sees any overrun and nothing leaks from one operand into the next.
    FormatBuffers buffers(insize, outsize);
    UniqueFd input = memory_file(operand);
    EXPECT_EQ(copy_formatted_by(row->choose(sw), input.get(), sink, buffers, sw, state),
              CopyResult::done);
  }
  return contents(output.get());
}

std::string format(const std::vector<std::string>& operands, const std::string& letters,
                   std::size_t insize = 512, std::size_t outsize = 512) {
  FormatState state;
  return format(operands, switches(letters), state, insize, outsize);
}

// The field of line number k: right-aligned in six columns, then a TAB.
std::string field(int k) {
  std::string digits = std::to_string(k);
  return std::string(digits.size() < 6 ? 6 - digits.size() : 0, ' ') + digits + "\t";
}

struct Case {
  const char* name;
  const char* letters;
  std::vector<std::string> operands;
  std::string expected;
};

const std::vector<Case> k_cases = {
    {"number all", "n", {"a\nb\n"}, field(1) + "a\n" + field(2) + "b\n"},
    {"number nonblank", "b", {"a\n\nb\n"}, field(1) + "a\n\n" + field(2) + "b\n"},
    {"number empty lines too", "n", {"a\n\nb\n"}, field(1) + "a\n" + field(2) + "\n" + field(3) + "b\n"},
    {"-b then -n keeps nonblank", "bn", {"a\n\nb\n"}, field(1) + "a\n\n" + field(2) + "b\n"},
    {"-n then -b keeps nonblank", "nb", {"a\n\nb\n"}, field(1) + "a\n\n" + field(2) + "b\n"},
    {"squeeze inside", "s", {"a\n\n\n\nb\n"}, "a\n\nb\n"},
    {"squeeze at start", "s", {"\n\n\na\n"}, "\na\n"},
    {"ends without final newline", "E", {"a\nb"}, "a$\nb"},
    {"ends on empty lines", "E", {"\n\n"}, "$\n$\n"},
    {"show all", "A", {"a\t\x80\x9f\xa0\xfe\xff\x7f\0\n"s},
     "a^IM-^@M-^_M- M-~M-^?^?^@$\n"},
    {"-e leaves TAB", "e", {"a\tb\n"}, "a\tb$\n"},
    {"-T shows TAB", "T", {"a\tb\n"}, "a^Ib\n"},
    {"-t shows TAB and controls", "t", {"\t\x01\n"}, "^I^A\n"},
    {"-v leaves TAB and newline", "v", {"\t\x1b[0m\n"}, "\t^[[0m\n"},
    {"-T alone leaves high bytes", "T", {"\x80\t\xff\n"}, "\x80^I\xff\n"},
    {"every control byte", "v", {"\x01\x02\x08\x0b\x0c\x0d\x1f\n"}, "^A^B^H^K^L^M^_\n"},
    {"empty input", "nE", {""}, ""},
    {"lone empty line numbered", "n", {"\n"}, field(1) + "\n"},
    {"line continues into next operand", "n", {"a", "b\n"}, field(1) + "ab\n"},
    {"squeeze across operands", "sn", {"a\n\n", "\n\nb\n"},
     field(1) + "a\n" + field(2) + "\n" + field(3) + "b\n"},
    {"nonblank squeeze", "bs", {"\n\n\na\n\n\n"}, "\n" + field(1) + "a\n\n"},
    {"ends across operands", "E", {"a", "", "\nb\n"}, "a$\nb$\n"},
    {"empty operand between", "n", {"a\n", "", "b\n"}, field(1) + "a\n" + field(2) + "b\n"},
};

TEST(FormatCopy, ProducesDocumentedOutput) {
  for (const Case& c : k_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(format(c.operands, c.letters), c.expected);
  }
}

TEST(FormatCopy, OneBytePerReadMatchesWholeBlocks) {
  for (const Case& c : k_cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t insize : {1, 2, 3, 7}) {
      for (std::size_t outsize : {1, 5, 512}) {
        SCOPED_TRACE("insize " + std::to_string(insize) + " outsize " + std::to_string(outsize));
        EXPECT_EQ(format(c.operands, c.letters, insize, outsize), c.expected);
      }
    }
  }
}

// Text with lines of every length from 0 to 300 and every byte value: the output must not depend
// on how the input is cut into blocks or how the output is cut into writes.
TEST(FormatCopy, BlockSizesAgreeOnVariedText) {
  std::string text;
  unsigned seed = 12345;
  for (int line = 0; line < 400; ++line) {
    seed = seed * 1103515245u + 12345u;
    std::size_t length = (seed >> 16) % 301;
    for (std::size_t i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      char c = static_cast<char>(seed >> 16);
      text += c == '\n' ? 'x' : c;
    }
    text += '\n';
  }
  text += "unterminated last line";
  for (const char* letters : {"n", "b", "E", "s", "nE", "bsE", "v", "T", "A", "nsA", "t"}) {
    SCOPED_TRACE(letters);
    std::string whole = format({text}, letters, 4096, 4096);
    EXPECT_EQ(format({text}, letters, 1, 1), whole);
    EXPECT_EQ(format({text}, letters, 100, 37), whole);
    EXPECT_EQ(format({text.substr(0, 777), text.substr(777)}, letters, 512, 512), whole);
  }
}

// Lines of 0 to 70 bytes with bytes to rewrite (alone, in pairs, in runs) and newlines at every
// position around the 16- and 32-byte steps of the vector paths.
std::string chunk_edge_text() {
  const char specials[] = {'\x01', '\x80', '\t', '\x7f', '\xff', '\x9f', '\x8a', '\0'};
  std::string text;
  int k = 0;
  for (std::size_t length = 0; length <= 70; ++length) {
    for (std::size_t at = 0; at <= length; ++at, ++k) {
      std::string line(length, 'a');
      if (at < length) line[at] = specials[k % 8];
      if (k % 3 == 0 && length > 0) line[(at * 7) % length] = specials[(k + 3) % 8];
      if (k % 5 == 0) line.replace(at, 5, std::string(5, specials[(k + 1) % 8]));
      text += line + (k % 11 == 0 ? "\n\n\n" : "\n");
    }
  }
  return text;
}

// The list ends with the plain row, which needs nothing, and the dispatcher takes the first
// row that the compiler's own run-time check says this processor runs.
TEST(FormatRowList, TheFirstRowTheProcessorRunsIsChosen) {
  ASSERT_FALSE(format_rows().empty());
  EXPECT_EQ(format_rows().back()->needs, 0u) << format_rows().back()->name;
  EXPECT_EQ(best_format_row(), test_support::first_row_the_processor_has<FormatRow>(format_rows()));
}

// Every row, called directly; a row this processor cannot run skips with the reason.
class FormatRows : public testing::TestWithParam<const FormatRow*> {
 protected:
  void SetUp() override {
    const std::string skip = test_support::row_skip_reason(GetParam()->name, GetParam()->needs);
    if (!skip.empty()) GTEST_SKIP() << skip;
  }
};

// The rules, under every combination of the six switches, on text read whole and in odd
// blocks, with the newline run and the line number left as the rules leave them.
TEST_P(FormatRows, FollowTheRulesOnEverySwitchCombination) {
  std::vector<std::string> inputs = {chunk_edge_text(), std::string(100, '\x80') + "\n\n"};
  for (const Case& c : k_cases)
    for (const std::string& operand : c.operands) inputs.push_back(operand);
  unsigned seed = 99;
  std::string noise;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 1103515245u + 12345u;
    noise += static_cast<char>(seed >> 16);
  }
  inputs.push_back(noise);
  for (unsigned bits = 1; bits < 64; ++bits) {
    FormatSwitches sw;
    sw.show_nonprinting = bits & 1;
    sw.show_tabs = bits & 2;
    sw.number_lines = bits & 4;
    sw.number_nonblank = bits & 8;
    sw.show_ends = bits & 16;
    sw.squeeze_blank = bits & 32;
    SCOPED_TRACE("switches " + std::to_string(bits));
    for (const std::string& input : inputs) {
      test_support::FormatRulesState rules;
      const std::string expected = test_support::reference_format(input, sw, rules);
      FormatState whole_state, cut_state;
      EXPECT_EQ(format({input}, sw, whole_state, 4096, 4096, GetParam()), expected);
      std::size_t third = input.size() / 3;
      EXPECT_EQ(format({input.substr(0, third), input.substr(third)}, sw, cut_state, 100, 37,
                       GetParam()),
                expected);
      EXPECT_EQ(cut_state.newline_run, rules.run);
      EXPECT_EQ(line_number_text(cut_state.line), field(static_cast<int>(rules.number)));
    }
  }
}

// Which bytes -v changes and what it makes of them, for all 256 bytes under each of -v, -vT,
// -vE and -vTE, as the table says: each byte alone among plain ones at every place of a
// 64-byte stretch, which the copy takes a byte at a time, and all of them side by side at
// every such place, which it expands a group at a time.
TEST_P(FormatRows, ShowEveryByteAsTheTableSays) {
  for (const char* letters : {"v", "vT", "vE", "vTE"}) {
    SCOPED_TRACE(letters);
    const FormatSwitches sw = switches(letters);
    const ExpansionTable& table =
        sw.show_tabs
            ? (sw.show_ends ? k_visible_table<true, true> : k_visible_table<true, false>)
            : (sw.show_ends ? k_visible_table<false, true> : k_visible_table<false, false>);
    auto shown = [&](const std::string& bytes) {
      std::string out;
      for (unsigned char c : bytes) out.append(table[c].text, table[c].length);
      return out;
    };
    std::string input, all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    for (std::size_t at = 0; at < 64; ++at) {
      for (int byte = 0; byte < 256; ++byte)
        input += std::string(at, 'a') + static_cast<char>(byte) + std::string(70 - at, 'b');
      input += std::string(at, 'c') + all + all;
    }
    FormatState state;
    ASSERT_EQ(format({input}, sw, state, 4096, 4096, GetParam()), shown(input));
  }
}

// The rows count the last digit in registers and carry through the counter in memory: each
// must widen the column and stop at all nines as advance_line_number does, across the 8- and
// 16-byte limits of the text they keep in registers.
TEST_P(FormatRows, CarryAndSaturateLineNumbers) {
  const std::string nines(k_line_digits, '9');
  struct Row {
    std::string start;
    const char* letters;
    std::string input;
    std::string expected;
  };
  const Row rows[] = {
      {"9999998", "n", "a\n\nb\n", "9999999\ta\n10000000\t\n10000001\tb\n"},
      {"99999999", "n", "a\nb\n", "100000000\ta\n100000001\tb\n"},
      {"99999999999998", "n", "a\nb\n", "99999999999999\ta\n100000000000000\tb\n"},
      {"100000000000000", "n", "a\nb\n", "100000000000001\ta\n100000000000002\tb\n"},
      {"999999999999999", "n", "a\nb\n", "1000000000000000\ta\n1000000000000001\tb\n"},
      {nines.substr(1) + "8", "n", "a\n\nb\n", nines + "\ta\n" + nines + "\t\n" + nines + "\tb\n"},
      {nines.substr(1) + "8", "bE", "a\n\nb", nines + "\ta$\n$\n" + nines + "\tb"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("from " + row.start);
    FormatState state;
    state.line = line_counter_at(row.start);
    EXPECT_EQ(format({row.input}, switches(row.letters), state, 512, 512, GetParam()),
              row.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(, FormatRows, testing::ValuesIn(format_rows()),
                         [](const testing::TestParamInfo<const FormatRow*>& row) {
                           return std::string(row.param->name);
                         });

TEST(FormatCopy, LongVisibleLineSpansBlocks) {
  std::string input(600, '\x80');
  input += '\n';
  std::string expected;
  for (int i = 0; i < 600; ++i) expected += "M-^@";
  expected += '\n';
  EXPECT_EQ(format({input}, "v", 512, 512), expected);
  EXPECT_EQ(format({input}, "v"), format({input}, "v", 1, 1));
}

TEST(FormatCopy, NumberColumnWidensPastSixDigits) {
  FormatState state;
  state.line = line_counter_at("999998");
  std::string out = format({"x\ny\nz\n"}, switches("n"), state);
  EXPECT_EQ(out, "999999\tx\n1000000\ty\n1000001\tz\n");
}

TEST(FormatCopy, NumberColumnWidensPastElevenDigits) {
  FormatState state;
  state.line = line_counter_at("99999999999");
  std::string out = format({"x\ny\n"}, switches("n"), state);
  EXPECT_EQ(out, "100000000000\tx\n100000000001\ty\n");
}

TEST(FormatCopy, CounterSaturatesAtTheFieldWidth) {
  LineCounter counter = line_counter_at(std::string(k_line_digits, '9'));
  advance_line_number(counter);
  EXPECT_EQ(line_number_text(counter), std::string(k_line_digits, '9') + "\t");
}

TEST(FormatCopy, CountingUpFromStart) {
  LineCounter counter = line_counter_start();
  for (int i = 0; i < 1000001; ++i) advance_line_number(counter);
  EXPECT_EQ(line_number_text(counter), "1000001\t");
}

// The worst cases for the output buffer: almost a whole output block pending, then an empty
// numbered line with "$", then a line of bytes that each take four columns, with short and with
// the widest line numbers. The buffers are sized exactly, so AddressSanitizer builds catch a
// bound that is too small; the output must match a copy with roomy blocks.
TEST(FormatCopy, WorstCaseExpansionFitsOutputBuffer) {
  struct Row {
    std::string start;  // line number before the copy
    std::size_t insize;
    std::size_t outsize;
    std::string input;
  };
  const std::string widest(k_line_digits - 1, '9');
  const Row rows[] = {
      {"0", 15, 118, std::string(14, '\n') + "\x80"},
      {"1" + std::string(k_line_digits - 1, '0'), 9, 176, std::string(8, '\n') + "\x80"},
      {widest, 64, 1, "\n" + std::string(63, '\x80')},
      {widest, 64, 2, "\n" + std::string(63, '\x80')},
      {widest, 64, 64, "\n" + std::string(63, '\x80')},
      {widest, 40, 300, std::string(12, '\n') + std::string(27, '\x80') + "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("insize " + std::to_string(row.insize) + " outsize " + std::to_string(row.outsize));
    FormatState tight;
    tight.line = line_counter_at(row.start);
    FormatState roomy = tight;
    EXPECT_EQ(format({row.input}, switches("nvE"), tight, row.insize, row.outsize),
              format({row.input}, switches("nvE"), roomy, 4096, 4096));
  }
}

TEST(FormatCopy, ReadErrorWritesNothingAndKeepsRun) {
  UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  UniqueFd output = memory_file("");
  OutputSink sink{output.get()};
  for (int run : {-1, 0, 1, 2}) {
    FormatState state;
    state.newline_run = run;
    FormatBuffers buffers(512, 512);
    errno = 0;
    EXPECT_EQ(copy_formatted(directory.get(), sink, buffers, switches("nE"), state),
              CopyResult::read_error);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(state.newline_run, run);
    EXPECT_EQ(line_number_text(state.line), "     0\t");
  }
  EXPECT_EQ(contents(output.get()), "");
}

TEST(FormatCopy, WriteErrorIsReported) {
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  UniqueFd input = memory_file("a\nb\n");
  FormatState state;
  FormatBuffers buffers(512, 512);
  OutputSink sink{full.get()};
  errno = 0;
  EXPECT_EQ(copy_formatted(input.get(), sink, buffers, switches("n"), state),
            CopyResult::write_error);
  EXPECT_EQ(errno, ENOSPC);
}

// Everything pending is written before each read, so a reader of a pipe sees the output of what
// has arrived while the copy waits for more.
TEST(FormatCopy, OutputFollowsInputOnPipes) {
  int in_fds[2];
  int out_fds[2];
  ASSERT_EQ(pipe(in_fds), 0);
  ASSERT_EQ(pipe(out_fds), 0);
  UniqueFd in_read(in_fds[0]);
  UniqueFd in_write(in_fds[1]);
  UniqueFd out_read(out_fds[0]);
  UniqueFd out_write(out_fds[1]);
  CopyResult result = CopyResult::write_error;
  std::thread copier([&] {
    FormatState state;
    FormatBuffers buffers(512, 512);
    OutputSink sink{out_write.get()};
    result = copy_formatted(in_read.get(), sink, buffers, switches("nE"), state);
  });
  auto read_some = [&](std::size_t want) {
    std::string got;
    char buffer[64];
    while (got.size() < want) {
      ssize_t n = read(out_read.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  };
  ASSERT_EQ(write(in_write.get(), "abc\nde", 6), 6);
  EXPECT_EQ(read_some(21), field(1) + "abc$\n" + field(2) + "de");
  ASSERT_EQ(write(in_write.get(), "f\n", 2), 2);
  ASSERT_EQ(in_write.close(), 0);
  copier.join();
  ASSERT_EQ(out_write.close(), 0);
  EXPECT_EQ(read_some(100), "f$\n");
  EXPECT_EQ(result, CopyResult::done);
}

}  // namespace
