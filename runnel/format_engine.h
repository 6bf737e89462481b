// SPDX-License-Identifier: MIT
// The formatted copy's loops, written once over a small set of vector operations. Each source
// that includes this header compiles it for one instruction set: it defines FORMAT_TARGET (the
// target attribute of that set, or nothing) and a struct `Isa` with the operations, then
// includes this file. Everything here has internal linkage, so no function compiled for a wide
// instruction set can stand in for one compiled without it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format_copy.h"
#include "format_paths.h"

#ifndef FORMAT_TARGET
#error "define FORMAT_TARGET before including format_engine.h"
#endif

namespace {

static_assert(Isa::width <= k_copy_ahead, "the buffers' slack is too small");

// Loads reach up to k_copy_ahead bytes past a block's end, onto bytes that no read wrote. They
// are cleared after each read (not the whole buffer once, which would fault in all its pages
// at the start of every run), so that memory checkers have nothing to report about the bits
// the copy then ignores. The input buffer has room for them.
inline void clear_past_block(unsigned char* block, ssize_t length) {
  std::memset(block + length, 0, k_copy_ahead + 1);
}

// The line number as the 16 bytes that two stores write, while it has at most fifteen digits;
// the digits stay in registers and only the last two are counted there, so that no line waits
// for a byte incremented in memory. The LineCounter in memory is brought up to date when a
// carry into the hundreds needs it and when the copy returns. Numbers pass seven digits after
// ten million lines, 600 MB of 60-byte lines: one 8-byte word alone sent every later line to
// the carry.
struct NumberText {
  std::uint64_t text_low;   // bytes 0-7 from print_pos, when length <= 16
  std::uint64_t text_high;  // bytes 8-15
  std::uint64_t step_low;   // what adding one to the last digit adds to text_low
  std::uint64_t step_high;  // and to text_high
  std::uint64_t wrap_low;   // what a carry into the tens adds to text_low: 9 back to 0, tens + 1
  std::uint64_t wrap_high;  // and to text_high
  unsigned left;            // numbers the last digit can still count up to; 0 past 16
  unsigned tens_left;       // carries the tens digit can still take; 0 without one, or past 16
  unsigned length;          // bytes of the field text: the last digit is the one before the TAB
};

// The word of a 16-byte text that holds byte `index`, as a number with 1 in that byte.
inline void set_byte_step(std::uint64_t& low, std::uint64_t& high, unsigned index) {
  unsigned shift =
      std::endian::native == std::endian::little ? 8 * (index % 8) : 8 * (7 - index % 8);
  (index < 8 ? low : high) = std::uint64_t{1} << shift;
}

inline NumberText load_number(const LineCounter& counter) {
  NumberText n{};
  n.length = static_cast<unsigned>(k_line_digits + 1 - counter.print_pos);
  if (n.length <= 16) {
    char bytes[16] = {};
    std::memcpy(bytes, counter.field + counter.print_pos, n.length);
    std::memcpy(&n.text_low, bytes, 8);
    std::memcpy(&n.text_high, bytes + 8, 8);
    set_byte_step(n.step_low, n.step_high, n.length - 2);
    n.left = static_cast<unsigned>('9' - counter.field[k_line_digits - 1]);
    if (counter.first_digit <= k_line_digits - 2) {
      std::uint64_t tens_low = 0, tens_high = 0;
      set_byte_step(tens_low, tens_high, n.length - 3);
      n.wrap_low = tens_low - 9 * n.step_low;
      n.wrap_high = tens_high - 9 * n.step_high;
      n.tens_left = static_cast<unsigned>('9' - counter.field[k_line_digits - 2]);
    }
  }
  return n;
}

inline void store_number(LineCounter& counter, const NumberText& n) {
  if (n.length <= 16) {
    counter.field[k_line_digits - 1] = static_cast<char>('9' - n.left);
    if (counter.first_digit <= k_line_digits - 2)
      counter.field[k_line_digits - 2] = static_cast<char>('9' - n.tens_left);
  }
}

// A carry into the hundreds, a new digit, or a number past fifteen digits: the counter in
// memory takes the steps of advance_line_number, and the number is loaded again. Out of line,
// as it is rare: the line loops that inline emit_number stay short, and the call passes the
// number by value, so that it still stays in registers there.
[[gnu::noinline, gnu::cold]] NumberText carry_number(LineCounter& counter, NumberText n) {
  store_number(counter, n);
  int pos = k_line_digits - 1;
  while (pos >= counter.first_digit && counter.field[pos] == '9') counter.field[pos--] = '0';
  if (pos >= counter.first_digit) {
    ++counter.field[pos];
  } else if (counter.first_digit > 0) {
    counter.field[--counter.first_digit] = '1';
    if (counter.first_digit < counter.print_pos) counter.print_pos = counter.first_digit;
  } else {
    for (int i = 0; i < k_line_digits; ++i) counter.field[i] = '9';
  }
  return load_number(counter);
}

// Advances the number and writes its text at `out`; may store up to 16 bytes. No call on the
// usual path: a call in the line loop would make the compiler keep its variables in memory.
// The carry into the tens, once every ten lines, stays in registers too: as a call it took 13%
// of a -n run on text, against 29% for the rest of the line loop.
inline char* emit_number(NumberText& n, LineCounter& counter, char* out) {
  if (n.left != 0) [[likely]] {
    --n.left;
    n.text_low += n.step_low;
    n.text_high += n.step_high;
  } else if (n.tens_left != 0) [[likely]] {
    --n.tens_left;
    n.left = 9;
    n.text_low += n.wrap_low;
    n.text_high += n.wrap_high;
  } else {
    n = carry_number(counter, n);
    if (n.length > 16) {
      std::memcpy(out, counter.field + counter.print_pos, n.length);
      return out + n.length;
    }
  }
  std::memcpy(out, &n.text_low, 8);
  std::memcpy(out + 8, &n.text_high, 8);
  return out + n.length;
}

// One byte that the switches change: a newline under -E, or a byte shown through the table
// (-v) or as ^I (-T alone).
template <bool Visible, bool Tabs, bool Ends>
inline char* put_changed(unsigned char byte, char* out) {
  if (Ends && byte == '\n') {
    out[0] = '$';
    out[1] = '\n';
    return out + 2;
  }
  if constexpr (Visible) {
    const Expansion& e = k_visible_table<Tabs, false>[byte];
    std::memcpy(out, e.text, 4);
    return out + e.length;
  } else {
    out[0] = '^';
    out[1] = 'I';
    return out + 2;
  }
}

// Writes [p, end) at `out` as -v, -T and -E change it and returns the end of what it wrote.
// Loads whole chunks, also past `end` (the input buffer has the room), and stores each before
// examining it: a chunk without a byte to change is then done. Stores up to k_copy_ahead bytes
// past the text it leaves.
template <class Isa, bool Visible, bool Tabs, bool Ends>
FORMAT_TARGET inline char* transform(const unsigned char* p, const unsigned char* end, char* out) {
  constexpr unsigned width = Isa::width;
  const typename Isa::Constants k;
  while (p < end) {
    typename Isa::Vec v = Isa::load(p);
    Isa::store(out, v);
    std::uint64_t change = 0;
    if constexpr (Visible) {
      change = Isa::template visible_mask<Tabs, Ends>(v, k);
    } else {
      if constexpr (Tabs) change = Isa::tab_mask(v, k);
      if constexpr (Ends) change |= Isa::newline_mask(v, k);
    }
    std::size_t left = static_cast<std::size_t>(end - p);
    unsigned limit = left < width ? static_cast<unsigned>(left) : width;
    if (limit < width) change &= (std::uint64_t{1} << limit) - 1;
    if (change == 0) {
      p += limit;
      out += limit;
      continue;
    }
    if constexpr (Isa::expands && Visible) {
      // Several bytes to change: expand every whole group of four at once. A word's bytes
      // through the table cost about what one byte through the steps below costs.
      if (((change & (change - 1)) != 0 || width <= 8) && limit >= 4) {
        // A whole chunk, the usual case, has a fixed number of groups: no test per group.
        unsigned groups = limit / 4;
        if (groups == width / 4)
          out = Isa::template expand<Tabs, Ends>(p, width / 4, out, k);
        else
          out = Isa::template expand<Tabs, Ends>(p, groups, out, k);
        p += 4 * groups;
        continue;
      }
    }
    unsigned first = lowest_set_bit(change);
    p += first;
    out += first;
    out = put_changed<Visible, Tabs, Ends>(*p++, out);
  }
  return out;
}

// The bytes of one line, without its newline, as the switches show them. Plain text is copied
// in fixed-size steps first, so that lines of the usual lengths take no branch on their length.
template <class Isa, bool Visible, bool Tabs>
FORMAT_TARGET inline char* copy_content(const unsigned char* p, const unsigned char* end,
                                        char* out) {
  if constexpr (!Visible && !Tabs) {
    constexpr std::size_t width = Isa::width;
    std::size_t length = static_cast<std::size_t>(end - p);
    // Narrow words: the compiler's own copy of a fixed size uses the widest moves the target has.
    if constexpr (width < 16)
      std::memcpy(out, p, k_copy_ahead);
    else
      for (std::size_t i = 0; i < k_copy_ahead; i += width) Isa::store(out + i, Isa::load(p + i));
    for (std::size_t i = k_copy_ahead; i < length; i += width)
      Isa::store(out + i, Isa::load(p + i));
    return out + length;
  } else {
    return transform<Isa, Visible, Tabs, false>(p, end, out);
  }
}

// The newlines of a block in order, the sentinel last. With vectors, a span of the block is
// examined 64 bytes at a time and the places of its newlines are listed; the line loop then
// takes them from the list. Every 64 bytes write four places, whether they have them or not,
// so that no branch depends on where the lines end: one that did, taken whenever a line ran
// past the 64 bytes in hand, could not be predicted on text of mixed line lengths.
template <class Isa>
struct NewlineFinder {
  static constexpr unsigned k_span = 1024;
  using Place = const unsigned char*;
  const unsigned char* scan;  // the next bytes to examine
  const unsigned char* end;   // the sentinel
  typename Isa::Constants k;
  Place places[k_span + 4];

  // Where the line loop stands in the list: the next place, and the end of those listed. The
  // loop keeps them in registers; as members of an object that fill() sees, every store of
  // the copy would make the compiler store and load them again.
  struct Cursor {
    const Place* next;
    const Place* last;
  };

  FORMAT_TARGET NewlineFinder(const unsigned char* p, const unsigned char* sentinel)
      : scan(p), end(sentinel) {}
  Cursor start() const { return Cursor{places, places}; }

  FORMAT_TARGET std::uint64_t newlines(const unsigned char* p) const {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; i += Isa::width)
      bits |= Isa::newline_mask(Isa::load(p + i), k) << i;
    return bits;
  }

  // Lists the newlines of the next span, or of the rest of the block up to the sentinel; the
  // loads past the sentinel stay within the buffer's slack.
  FORMAT_TARGET const Place* fill() {
    Place* place = places;
    const unsigned char* at = scan;
    const unsigned char* const stop = at + k_span < end + 1 ? at + k_span : end + 1;
    do {
      std::uint64_t bits = newlines(at);
      unsigned count = Isa::count(bits);
      for (unsigned i = 0; i < 4; ++i) {
        place[i] = at + Isa::lowest_bit(bits);
        bits = Isa::without_lowest_bit(bits);
      }
      if (count > 4) [[unlikely]] {
        for (unsigned i = 4; i < count; ++i) {
          place[i] = at + lowest_set_bit(bits);
          bits &= bits - 1;
        }
      }
      place += count;
      at += 64;
    } while (at < stop);
    scan = at;
    return place;
  }

  FORMAT_TARGET const unsigned char* next(Cursor& cursor) {
    while (cursor.next == cursor.last) [[unlikely]] {
      cursor.last = fill();
      cursor.next = places;
    }
    return *cursor.next++;
  }
};

// Writes whole blocks of `outsize` from the start of the buffer while that many are pending and
// moves the rest to the start. False on a write error.
inline bool write_whole_blocks(OutputSink& output, char* out_buffer, char*& out,
                               std::size_t outsize) {
  char* block = out_buffer;
  do {
    if (write_output(output, block, outsize) < 0) return false;
    block += outsize;
  } while (static_cast<std::size_t>(out - block) >= outsize);
  std::size_t rest = static_cast<std::size_t>(out - block);
  std::memmove(out_buffer, block, rest);
  out = out_buffer + rest;
  return true;
}

// Before each read: whole output blocks, then the rest. False on a write error.
inline bool write_pending(OutputSink& output, char* out_buffer, char* out, std::size_t outsize) {
  if (static_cast<std::size_t>(out - out_buffer) >= outsize &&
      !write_whole_blocks(output, out_buffer, out, outsize))
    return false;
  return write_output(output, out_buffer, static_cast<std::size_t>(out - out_buffer)) >= 0;
}

// Reads the next block: its length, 0 at the end of input, or -1 with `result` set to why the
// copy stops. Besides a read error, that is an input that reads the file the output writes
// when the output has got ahead of it: every line made longer (-n, -v) then keeps the output
// ahead, and the copy would read its own output for ever. Checked once a block, and only then.
inline ssize_t read_block(int input_fd, const OutputSink& output, bool input_is_output,
                          const FormatBuffers& buffers, CopyResult& result) {
  if (input_is_output && copy_reads_its_output(input_fd, output.fd, false)) {
    result = CopyResult::input_is_output;
    return -1;
  }
  const ssize_t n = read_retrying(input_fd, buffers.in(), buffers.insize());
  if (n < 0) result = CopyResult::read_error;
  return n;
}

// The newline run after the block [start, end), from the run before it: three newlines at the
// end, or fewer after a line with content, decide it.
inline int run_after_block(const unsigned char* start, const unsigned char* end, int run) {
  const unsigned char* last = end;
  while (last > start && last[-1] == '\n' && end - last < 3) --last;
  int trailing = static_cast<int>(end - last);
  if (trailing == 0) return -1;
  int base = last > start ? -1 : run;
  return base + trailing < 2 ? base + trailing : 2;
}

// How format_lines numbers lines: as the switches say, read once per call, or fixed. `every` is
// -n without -s: every line has a number and none is left out.
enum class Numbers { from_switches, none, nonblank, all, every };

// The copy when lines are numbered or squeezed: a loop over the lines of each block, which ends
// at the sentinel newline after the block. -v, -T and -E are template parameters, so that no
// switch is read again from memory after each store; so is the numbering of plain text (-n,
// -b), to leave the registers of its short loop to the data.
template <class Isa, bool Visible, bool Tabs, bool Ends, Numbers N>
FORMAT_TARGET CopyResult format_lines(int input_fd, OutputSink& output,
                                      const FormatBuffers& buffers,
                                      const FormatSwitches& switches, FormatState& state,
                                      bool input_is_output) {
  char* const in_buffer = buffers.in();
  char* const out_buffer = buffers.out();
  const std::size_t outsize = buffers.outsize();
  char* const flush_at = out_buffer + outsize;
  const bool number_lines =
      N == Numbers::from_switches ? switches.number_lines : N != Numbers::none;
  const bool number_all = N == Numbers::from_switches
                              ? switches.number_lines && !switches.number_nonblank
                              : N == Numbers::all || N == Numbers::every;
  const bool squeeze = N != Numbers::every && switches.squeeze_blank;
  auto* const in_start = reinterpret_cast<unsigned char*>(in_buffer);
  char* out = out_buffer;
  int run = state.newline_run;
  NumberText number = load_number(state.line);
  CopyResult result = CopyResult::done;

  while (result == CopyResult::done) {
    if (!write_pending(output, out_buffer, out, outsize)) {
      result = CopyResult::write_error;
      break;
    }
    out = out_buffer;
    const ssize_t n = read_block(input_fd, output, input_is_output, buffers, result);
    if (n <= 0) break;
    const unsigned char* const end = in_start + n;
    clear_past_block(in_start, n);
    in_start[n] = '\n';
    const unsigned char* p = in_start;
    NewlineFinder<Isa> newlines(p, end);
    auto cursor = newlines.start();
    const int run_before = run;
    bool block_done = false;
    while (!block_done) {
      // Pass on whole output blocks, keep the rest. The line loop below makes no call, so that
      // its variables can stay in registers.
      if (out >= flush_at && !write_whole_blocks(output, out_buffer, out, outsize)) {
        result = CopyResult::write_error;
        break;
      }
      do {
        const unsigned char* newline = newlines.next(cursor);
        if constexpr (N == Numbers::every) {
          // An empty line takes the steps of one with content, with no branch on which it
          // is; the newline run is worked out from the end of the block.
          if (newline == end) [[unlikely]] {
            if (newline != p) {
              if (run >= 0) out = emit_number(number, state.line, out);
              out = copy_content<Isa, Visible, Tabs>(p, newline, out);
            }
            run = run_after_block(in_start, end, run_before);
            block_done = true;
            break;
          }
          if (run >= 0) [[likely]] out = emit_number(number, state.line, out);
          out = copy_content<Isa, Visible, Tabs>(p, newline, out);
          run = 0;
        } else if (newline != p) [[likely]] {
          // A line with content starts, or continues one that an earlier block left open.
          if (run >= 0 && number_lines) out = emit_number(number, state.line, out);
          out = copy_content<Isa, Visible, Tabs>(p, newline, out);
          if (newline == end) {
            run = -1;
            block_done = true;
            break;
          }
          // Its newline ends it: no run of empty lines to count.
          run = 0;
        } else {
          if (newline == end) {
            block_done = true;
            break;
          }
          // An empty line; a later one of a run vanishes under -s.
          if (run < 2) ++run;
          if (squeeze && run > 1) {
            p = newline + 1;
            continue;
          }
          if (run > 0 && number_all) out = emit_number(number, state.line, out);
        }
        if constexpr (Ends) *out++ = '$';
        *out++ = '\n';
        p = newline + 1;
      } while (out < flush_at);
    }
  }
  state.newline_run = run;
  store_number(state.line, number);
  return result;
}

// The copy when only bytes change (-v, -T, -E): each block is transformed whole, and the
// newline run is worked out from the newlines at the end of the block.
template <class Isa, bool Visible, bool Tabs, bool Ends>
FORMAT_TARGET CopyResult format_bytes(int input_fd, OutputSink& output,
                                      const FormatBuffers& buffers, const FormatSwitches&,
                                      FormatState& state, bool input_is_output) {
  char* const in_buffer = buffers.in();
  char* const out_buffer = buffers.out();
  auto* const in_start = reinterpret_cast<const unsigned char*>(in_buffer);
  int run = state.newline_run;
  CopyResult result = CopyResult::done;
  char* out = out_buffer;
  for (;;) {
    if (!write_pending(output, out_buffer, out, buffers.outsize())) {
      result = CopyResult::write_error;
      break;
    }
    const ssize_t n = read_block(input_fd, output, input_is_output, buffers, result);
    if (n <= 0) break;
    const unsigned char* const end = in_start + n;
    clear_past_block(reinterpret_cast<unsigned char*>(in_buffer), n);
    out = transform<Isa, Visible, Tabs, Ends>(in_start, end, out_buffer);
    run = run_after_block(in_start, end, run);
  }
  state.newline_run = run;
  return result;
}

template <class I>
FormatFunction choose_format_function(const FormatSwitches& s) {
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<I, false, false, false>, format_bytes<I, false, false, true>,
      format_bytes<I, false, true, false>,  format_bytes<I, false, true, true>,
      format_bytes<I, true, false, false>,  format_bytes<I, true, false, true>,
      format_bytes<I, true, true, false>,   format_bytes<I, true, true, true>,
  };
  constexpr Numbers R = Numbers::from_switches;
  static constexpr FormatFunction k_lines[] = {
      nullptr,
      nullptr,
      format_lines<I, false, true, false, R>,
      format_lines<I, false, true, true, R>,
      format_lines<I, true, false, false, R>,
      format_lines<I, true, false, true, R>,
      format_lines<I, true, true, false, R>,
      format_lines<I, true, true, true, R>,
  };
  static constexpr FormatFunction k_plain_lines[2][4] = {
      {format_lines<I, false, false, false, Numbers::none>,
       format_lines<I, false, false, false, Numbers::nonblank>,
       format_lines<I, false, false, false, Numbers::all>,
       format_lines<I, false, false, false, Numbers::every>},
      {format_lines<I, false, false, true, Numbers::none>,
       format_lines<I, false, false, true, Numbers::nonblank>,
       format_lines<I, false, false, true, Numbers::all>,
       format_lines<I, false, false, true, Numbers::every>},
  };
  unsigned index = (s.show_nonprinting ? 4 : 0) + (s.show_tabs ? 2 : 0) + (s.show_ends ? 1 : 0);
  if (!s.number_lines && !s.squeeze_blank) return k_bytes[index];
  if (index >= 2) return k_lines[index];
  unsigned numbers = !s.number_lines ? 0 : s.number_nonblank ? 1 : s.squeeze_blank ? 2 : 3;
  return k_plain_lines[index][numbers];
}

}  // namespace
