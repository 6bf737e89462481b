// SPDX-License-Identifier: MIT
// The formatted copy's kernels, written once over a small set of vector operations. Each source
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
    // As many whole vectors as the slack past the sentinel and the output holds.
    constexpr std::size_t ahead = k_copy_ahead / width * width;
    std::size_t length = static_cast<std::size_t>(end - p);
    // Narrow words: the compiler's own copy of a fixed size uses the widest moves the target has.
    if constexpr (width < 16)
      std::memcpy(out, p, ahead);
    else
      for (std::size_t i = 0; i < ahead; i += width) Isa::store(out + i, Isa::load(p + i));
    for (std::size_t i = ahead; i < length; i += width)
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

// The newline run after the bytes [start, end), from the run before them: three newlines at
// the end, or fewer after a line with content, decide it.
inline int run_after_block(const unsigned char* start, const unsigned char* end, int run) {
  const unsigned char* last = end;
  while (last > start && last[-1] == '\n' && end - last < 3) --last;
  int base = last > start ? -1 : run;
  int trailing = static_cast<int>(end - last);
  return base + trailing < 2 ? base + trailing : 2;
}

// How format_lines numbers lines: as the switches say, read once per call, or fixed. `every` is
// -n without -s: every line has a number and none is left out.
enum class Numbers { from_switches, none, nonblank, all, every };

// The kernel when lines are numbered or squeezed: a loop over the lines of the block, which
// ends at the sentinel newline. -v, -T and -E are template parameters, so that no switch is
// read again from memory after each store; so is the numbering of plain text (-n, -b), to leave
// the registers of its short loop to the data. The loop makes no call, so that its variables
// can stay in registers: it returns once the output reaches flush_at, and the caller passes on
// whole output blocks and calls it again.
template <class Isa, bool Visible, bool Tabs, bool Ends, Numbers N>
FORMAT_TARGET FormatStop format_lines(const unsigned char* p, const unsigned char* const end,
                                      char* out, char* const flush_at,
                                      const FormatSwitches& switches, FormatState& state) {
  const bool number_lines =
      N == Numbers::from_switches ? switches.number_lines : N != Numbers::none;
  const bool number_all = N == Numbers::from_switches
                              ? switches.number_lines && !switches.number_nonblank
                              : N == Numbers::all || N == Numbers::every;
  const bool squeeze = N != Numbers::every && switches.squeeze_blank;
  const unsigned char* const start = p;
  int run = state.newline_run;
  NumberText number = load_number(state.line);
  NewlineFinder<Isa> newlines(p, end);
  auto cursor = newlines.start();
  do {
    const unsigned char* newline = newlines.next(cursor);
    if constexpr (N == Numbers::every) {
      // An empty line takes the steps of one with content, with no branch on which it is; the
      // newline run is worked out from the bytes passed over.
      if (newline == end) [[unlikely]] {
        if (newline != p) {
          if (run >= 0) out = emit_number(number, state.line, out);
          out = copy_content<Isa, Visible, Tabs>(p, newline, out);
        }
        p = end;
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
        p = end;
        break;
      }
      // Its newline ends it: no run of empty lines to count.
      run = 0;
    } else {
      if (newline == end) break;
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
  if constexpr (N == Numbers::every) run = run_after_block(start, p, state.newline_run);
  state.newline_run = run;
  store_number(state.line, number);
  return {p, out};
}

// The kernel when only bytes change (-v, -T, -E): the block is transformed whole, and the
// newline run is worked out from the newlines at its end.
template <class Isa, bool Visible, bool Tabs, bool Ends>
FORMAT_TARGET FormatStop format_bytes(const unsigned char* p, const unsigned char* end, char* out,
                                      char*, const FormatSwitches&, FormatState& state) {
  state.newline_run = run_after_block(p, end, state.newline_run);
  return {end, transform<Isa, Visible, Tabs, Ends>(p, end, out)};
}

// The kernels under -v, for the rows that differ from a narrower one in -v alone.
template <class I>
FormatFunction choose_visible_function(const FormatSwitches& s) {
  constexpr Numbers R = Numbers::from_switches;
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<I, true, false, false>, format_bytes<I, true, false, true>,
      format_bytes<I, true, true, false>, format_bytes<I, true, true, true>};
  static constexpr FormatFunction k_lines[] = {
      format_lines<I, true, false, false, R>, format_lines<I, true, false, true, R>,
      format_lines<I, true, true, false, R>, format_lines<I, true, true, true, R>};
  unsigned index = (s.show_tabs ? 2 : 0) + (s.show_ends ? 1 : 0);
  return !s.number_lines && !s.squeeze_blank ? k_bytes[index] : k_lines[index];
}

template <class I>
FormatFunction choose_format_function(const FormatSwitches& s) {
  if (s.show_nonprinting) return choose_visible_function<I>(s);
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<I, false, false, false>, format_bytes<I, false, false, true>,
      format_bytes<I, false, true, false>, format_bytes<I, false, true, true>};
  static constexpr FormatFunction k_tab_lines[] = {
      format_lines<I, false, true, false, Numbers::from_switches>,
      format_lines<I, false, true, true, Numbers::from_switches>};
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
  unsigned ends = s.show_ends ? 1 : 0;
  if (!s.number_lines && !s.squeeze_blank) return k_bytes[(s.show_tabs ? 2 : 0) + ends];
  if (s.show_tabs) return k_tab_lines[ends];
  unsigned numbers = !s.number_lines ? 0 : s.number_nonblank ? 1 : s.squeeze_blank ? 2 : 3;
  return k_plain_lines[ends][numbers];
}

}  // namespace
