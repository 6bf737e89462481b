// SPDX-License-Identifier: MIT
// The formatted copy's kernels, written once over a row's operations. Each row's source
// defines FORMAT_TARGET (the target attribute of its instruction set, or nothing) and includes
// this file; then, in a namespace named after the row, it defines its Kernels (see the
// concepts below) and makes its row with choose_format_function or choose_visible_function.
// Everything here has internal linkage, so no function compiled for a wide instruction set can
// stand in for one compiled without it.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "format_copy.h"
#include "format_rows.h"
#include "line_number.h"
#include "simd.h"

#ifndef FORMAT_TARGET
#error "define FORMAT_TARGET before including format_engine.h"
#endif

namespace {

/// The place of the lowest set bit of `bits`, which has one. 32-bit x86 has no 64-bit count,
/// and the compiler calls a library function for one there: the halves are counted instead.
template <class B>
inline unsigned lowest_set_bit(B bits) {
#if defined(__i386__)
  if constexpr (sizeof(B) == 8) {
    const auto low = static_cast<std::uint32_t>(bits);
    const auto high = static_cast<std::uint32_t>(bits >> 32);
    return low != 0 ? static_cast<unsigned>(std::countr_zero(low))
                    : 32 + static_cast<unsigned>(std::countr_zero(high));
  }
#endif
  return static_cast<unsigned>(std::countr_zero(bits));
}

/// The number of set bits of `bits`. x86 before POPCNT has no instruction for it, and the
/// compiler calls a library function there: the bits are summed in place instead.
template <class B>
inline unsigned count_set_bits(B bits) {
#if defined(__x86_64__) || defined(__i386__)
  constexpr B ones = ~B{0};
  bits -= (bits >> 1) & (ones / 3);
  bits = (bits & (ones / 5)) + ((bits >> 2) & (ones / 5));
  bits = (bits + (bits >> 4)) & (ones / 17);
  return static_cast<unsigned>((bits * (ones / 255)) >> (8 * sizeof(B) - 8));
#else
  return static_cast<unsigned>(std::popcount(bits));
#endif
}

/// The bit operations of the line loop in plain C++, for the rows whose instruction sets have
/// none of their own; on a general register's bits or on 64.
struct PlainBits {
  // The top bit keeps the count of zeros defined when no bit is set; the caller then ignores
  // the result.
  template <class B>
  static B lowest_bit(B bits) {
    return lowest_set_bit(bits | B{1} << (8 * sizeof(B) - 1));
  }
  template <class B>
  static B without_lowest_bit(B bits) {
    return bits & (bits - 1);
  }
  template <class B>
  static unsigned count(B bits) {
    return count_set_bits(bits);
  }
};

/// The splatted bytes of the masks, made once before a loop. A row that needs more for its
/// expansion derives its constants from these.
template <simd::ByteVectorOps V>
struct MaskConstants {
  using Vec = typename V::Vec;
  Vec newline, tab, one, shown_below;
  FORMAT_TARGET MaskConstants()
      : newline(V::splat('\n')), tab(V::splat('\t')), one(V::splat(1)),
        shown_below(V::splat(0x21)) {}
};

// Which bytes the switches change, written once over every row's operations.

template <simd::ByteVectorOps V, class C>
FORMAT_TARGET inline std::uint64_t newline_mask(typename V::Vec v, const C& k) {
  return V::bits(V::eq(v, k.newline));
}

/// The bytes that -v shows in ^ or M- notation, newline and TAB included: the controls, DEL
/// and every byte from 0x80. Each plus one, as a signed byte, is below 0x21: the controls give
/// 1 to 0x20, DEL and the bytes from 0x80 give negative bytes, 0xFF gives 0.
template <simd::ByteVectorOps V, class C>
FORMAT_TARGET inline typename V::Mask shown_bytes(typename V::Vec v, const C& k) {
  return V::lt(V::add(v, k.one), k.shown_below);
}

/// The bytes that the switches change: under -v those it shows, less the newline without -E
/// and the TAB without -T, which stay as they are; otherwise the TAB under -T and the newline
/// under -E. At least one of the three switches is set.
template <simd::ByteVectorOps V, bool Visible, bool Tabs, bool Ends, class C>
FORMAT_TARGET inline typename V::Mask changed_bytes(typename V::Vec v, const C& k) {
  static_assert(Visible || Tabs || Ends);
  if constexpr (Visible) {
    typename V::Mask changed = shown_bytes<V>(v, k);
    if constexpr (!Ends) changed = V::mask_and_not(V::eq(v, k.newline), changed);
    if constexpr (!Tabs) changed = V::mask_and_not(V::eq(v, k.tab), changed);
    return changed;
  } else if constexpr (Tabs && Ends) {
    return V::mask_or(V::eq(v, k.tab), V::eq(v, k.newline));
  } else {
    return V::eq(v, Tabs ? k.tab : k.newline);
  }
}

/// The expansion of -v through the table, a byte at a time with no branch per byte, for the
/// rows whose instruction sets have no byte shuffle. Worth it once a chunk has `From` bytes
/// to change: fewer go one by one.
template <unsigned From>
struct TableExpansion {
  static constexpr unsigned expand_from = From;

  // Every byte through the table: a whole entry stored, the output advanced by its length.
  template <bool Tabs, bool Ends, class C>
  static char* expand(const unsigned char* p, unsigned groups, char* out, const C&) {
#if defined(__i386__)
    // The table's address in a register of its own: 32-bit position-independent code would
    // otherwise rebuild each entry's address from the global offset table, two instructions a
    // byte. (On x86-64 a pointer to it cost one more instruction a byte.)
    const Expansion* table = k_visible_table<Tabs, Ends>.data();
    __asm__("" : "+r"(table));
#else
    const ExpansionTable& table = k_visible_table<Tabs, Ends>;
#endif
    for (unsigned i = 0; i < 4 * groups; ++i) {
      const Expansion& e = table[p[i]];
      std::memcpy(out, e.text, 4);
      out += e.length;
    }
    return out;
  }
};

/// What the -v kernels take from a row's Kernels K: its operations (Ops, whose width divides
/// the 64 bytes a newline mask covers at most), its constants, the bit operations of the line
/// loop on a general register's bits and on 64 bits,
/// and the expansion of -v: expand<Tabs, Ends>(p, groups, out, k) writes the changed form of
/// the 4 * groups bytes at p (groups <= width / 4), may store up to k_copy_ahead bytes past
/// what it writes, and is used on chunks with at least expand_from bytes to change.
template <class K>
concept VisibleKernels =
    simd::ByteVectorOps<typename K::Ops> &&
    std::derived_from<typename K::Constants, MaskConstants<typename K::Ops>> &&
    64 % K::Ops::width == 0 && K::Ops::width <= k_copy_ahead &&
    requires(unsigned long bits, std::uint64_t wide, const unsigned char* p, unsigned groups,
             char* out, const typename K::Constants& k) {
      { K::lowest_bit(bits) } -> std::same_as<unsigned long>;
      { K::without_lowest_bit(bits) } -> std::same_as<unsigned long>;
      { K::count(bits) } -> std::same_as<unsigned>;
      { K::lowest_bit(wide) } -> std::same_as<std::uint64_t>;
      { K::without_lowest_bit(wide) } -> std::same_as<std::uint64_t>;
      { K::count(wide) } -> std::same_as<unsigned>;
      { K::expand_from } -> std::convertible_to<unsigned>;
      { K::template expand<false, false>(p, groups, out, k) } -> std::same_as<char*>;
      { K::template expand<false, true>(p, groups, out, k) } -> std::same_as<char*>;
      { K::template expand<true, false>(p, groups, out, k) } -> std::same_as<char*>;
      { K::template expand<true, true>(p, groups, out, k) } -> std::same_as<char*>;
    };

/// What every kernel takes from a row: the same, with vectors narrow enough for the line copy,
/// which copies a line of plain text in at least three steps of a vector before it tests its
/// length: wider steps take a branch for every line longer than two of them, and -n on text
/// took 10 % more processor time in 64-byte steps than in 32-byte ones.
template <class K>
concept FormatKernels = VisibleKernels<K> && 3 * K::Ops::width <= k_copy_ahead;

// At least N bits set in `bits`.
template <unsigned N, class B>
inline bool at_least(B bits) {
  if constexpr (N <= 1) {
    return bits != 0;
  } else {
    return at_least<N - 1>(static_cast<B>(bits & (bits - 1)));
  }
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
template <class K, bool Visible, bool Tabs, bool Ends>
FORMAT_TARGET inline char* transform(const unsigned char* p, const unsigned char* end, char* out) {
  using V = typename K::Ops;
  constexpr unsigned width = V::width;
  if constexpr (!Visible && !Tabs && !Ends) {
    std::memcpy(out, p, static_cast<std::size_t>(end - p));
    return out + (end - p);
  } else {
    const typename K::Constants k;
    for (;;) {
      const std::ptrdiff_t left = end - p;
      if (left <= 0) return out;
      const typename V::Vec v = V::load(p);
      V::store(out, v);
      const typename V::Mask changed = changed_bytes<V, Visible, Tabs, Ends>(v, k);
      unsigned limit = width;
      // The chunk's bits in a general register where they fit: 32-bit x86 holds 64 in two.
      using Change =
          std::conditional_t<(width <= 8 * sizeof(unsigned long)), unsigned long, std::uint64_t>;
      Change change;
      if (left >= static_cast<std::ptrdiff_t>(width)) [[likely]] {
        // A whole chunk with nothing to change, the usual one on text, needs no bits: the word
        // row tests its mask in one instruction where its bits take four.
        if (!V::any(changed)) {
          p += width;
          out += width;
          continue;
        }
        // A row that expands a chunk for any byte to change needs no bits either.
        if constexpr (Visible && K::expand_from <= 1) {
          out = K::template expand<Tabs, Ends>(p, width / 4, out, k);
          p += width;
          continue;
        }
        change = static_cast<Change>(V::bits(changed));
      } else {
        limit = static_cast<unsigned>(left);
        change = static_cast<Change>(V::bits(changed) & ((std::uint64_t{1} << limit) - 1));
        if (change == 0) return out + limit;
      }
      if constexpr (Visible) {
        // Enough bytes to change: expand every whole group of four at once.
        if (at_least<K::expand_from>(change) && limit >= 4) {
          // A whole chunk, the usual case, has a fixed number of groups: no test per group.
          unsigned groups = limit / 4;
          if (groups == width / 4)
            out = K::template expand<Tabs, Ends>(p, width / 4, out, k);
          else
            out = K::template expand<Tabs, Ends>(p, groups, out, k);
          p += 4 * groups;
          continue;
        }
      }
      unsigned first = lowest_set_bit(change);
      p += first;
      out += first;
      out = put_changed<Visible, Tabs, Ends>(*p++, out);
    }
  }
}

// The bytes of one line, without its newline, as the switches show them. Plain text is copied
// in fixed-size steps first, so that lines of the usual lengths take no branch on their length.
template <class K, bool Visible, bool Tabs>
FORMAT_TARGET inline char* copy_content(const unsigned char* p, const unsigned char* end,
                                        char* out) {
  using V = typename K::Ops;
  if constexpr (!Visible && !Tabs) {
    constexpr std::size_t width = V::width;
    // As many whole vectors as the slack past the sentinel and the output holds.
    constexpr std::size_t ahead = k_copy_ahead / width * width;
    std::size_t length = static_cast<std::size_t>(end - p);
    // Narrow words: the compiler's own copy of a fixed size uses the widest moves the target has.
    if constexpr (width < 16)
      std::memcpy(out, p, ahead);
    else
      for (std::size_t i = 0; i < ahead; i += width) V::store(out + i, V::load(p + i));
    for (std::size_t i = ahead; i < length; i += width) V::store(out + i, V::load(p + i));
    return out + length;
  } else {
    return transform<K, Visible, Tabs, false>(p, end, out);
  }
}

// The newlines of a block in order, the sentinel last. With vectors, a span of the block is
// examined 64 bytes at a time and the places of its newlines are listed; the line loop then
// takes them from the list. Every 64 bytes write four places, whether they have them or not,
// so that no branch depends on where the lines end: one that did, taken whenever a line ran
// past the 64 bytes in hand, could not be predicted on text of mixed line lengths.
template <class K>
struct NewlineFinder {
  using V = typename K::Ops;
  // The newlines of a span as the bits of a general register, where its width holds the
  // span's vectors: on 32-bit machines 32 bytes a span, for 64-bit masks take two registers
  // there and each operation on them several instructions.
  using Bits =
      std::conditional_t<(V::width > 8 * sizeof(unsigned long)), std::uint64_t, unsigned long>;
  static constexpr unsigned k_mask_bytes = 8 * sizeof(Bits);
  // Places listed for each span, whether it has them or not: every line of 16 bytes or more.
  static constexpr unsigned k_listed = k_mask_bytes / 16;
  static constexpr unsigned k_span = 1024;
  using Place = const unsigned char*;
  const unsigned char* scan;  // the next bytes to examine
  const unsigned char* end;   // the sentinel
  Place places[k_span + k_listed];

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

  FORMAT_TARGET static Bits newlines(const unsigned char* p, const MaskConstants<V>& k) {
    if constexpr (simd::FourMaskBits<V> && k_mask_bytes == 4 * V::width) {
      return V::bits(V::eq(V::load(p), k.newline), V::eq(V::load(p + V::width), k.newline),
                     V::eq(V::load(p + 2 * V::width), k.newline),
                     V::eq(V::load(p + 3 * V::width), k.newline));
    }
    Bits bits = 0;
    for (unsigned i = 0; i < k_mask_bytes; i += V::width)
      bits |= static_cast<Bits>(newline_mask<V>(V::load(p + i), k)) << i;
    return bits;
  }

  // Lists at `place` the newlines that `bits` marks from `at` on; returns the end of the list.
  FORMAT_TARGET static Place* list(Place* place, const unsigned char* at, Bits bits) {
    const unsigned count = K::count(bits);
    for (unsigned i = 0; i < k_listed; ++i) {
      place[i] = at + K::lowest_bit(bits);
      bits = K::without_lowest_bit(bits);
    }
    if (count > k_listed) [[unlikely]] {
      for (unsigned i = k_listed; i < count; ++i) {
        place[i] = at + lowest_set_bit(bits);
        bits &= bits - 1;
      }
    }
    return place + count;
  }

  // Lists the newlines of the next span, or of the rest of the block up to the sentinel; the
  // loads past the sentinel stay within the buffer's slack. It makes the one constant it
  // needs, rather than keep the row's whole set.
  FORMAT_TARGET const Place* fill() {
    const MaskConstants<V> k;
    Place* place = places;
    const unsigned char* at = scan;
    const unsigned char* const stop = at + k_span < end + 1 ? at + k_span : end + 1;
    do {
      place = list(place, at, newlines(at, k));
      // Two spans a pass where a span is of 32 bytes: the pass's own instructions would be
      // a quarter of a span's. The second may lie past the sentinel, within the slack, and
      // what it lists is never reached.
      if constexpr (k_mask_bytes < 64) place = list(place, at + 32, newlines(at + 32, k));
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
// -n without -s: every line has a number and none is left out; `nonblank_every` is -b without
// -s: every line with content has one and none is left out.
enum class Numbers { from_switches, none, nonblank, all, every, nonblank_every };

// The kernel when lines are numbered or squeezed: a loop over the lines of the block, which
// ends at the sentinel newline. -v, -T and -E are template parameters, so that no switch is
// read again from memory after each store; so is the numbering of plain text (-n, -b), to leave
// the registers of its short loop to the data. The loop makes no call, so that its variables
// can stay in registers: it returns once the output reaches flush_at, and the caller passes on
// whole output blocks and calls it again.
template <class K, bool Visible, bool Tabs, bool Ends, Numbers N>
FORMAT_TARGET FormatStop format_lines(const unsigned char* p, const unsigned char* const end,
                                      char* out, char* const flush_at,
                                      const FormatSwitches& switches, FormatState& state) {
  const bool number_lines =
      N == Numbers::from_switches ? switches.number_lines : N != Numbers::none;
  const bool number_all = N == Numbers::from_switches
                              ? switches.number_lines && !switches.number_nonblank
                              : N == Numbers::all || N == Numbers::every;
  // Without -s the newline run matters only to the block's first line, and for the next
  // block: it is worked out from the bytes passed over instead of kept in the loop.
  constexpr bool kept = N == Numbers::every || N == Numbers::nonblank_every;
  const bool squeeze = !kept && switches.squeeze_blank;
  const unsigned char* const start = p;
  int run = state.newline_run;
  NumberText number = load_number(state.line);
  NewlineFinder<K> newlines(p, end);
  auto cursor = newlines.start();
  bool done = false;
  if constexpr (kept) {
    // Only the block's first line can continue one that an earlier block left open, and so
    // have no number: it is taken before the loop, which then keeps no newline run at all and
    // leaves 32-bit x86 one more register.
    if (run < 0) {
      const unsigned char* newline = newlines.next(cursor);
      out = copy_content<K, Visible, Tabs>(p, newline, out);
      if (newline == end) {
        p = end;
        done = true;
      } else {
        if constexpr (Ends) *out++ = '$';
        *out++ = '\n';
        p = newline + 1;
        done = out >= flush_at;
      }
    }
  }
  if (!done) {
    do {
      const unsigned char* newline = newlines.next(cursor);
      if constexpr (kept) {
        if (newline == end) [[unlikely]] {
          if (newline != p) {
            out = emit_number(number, state.line, out);
            out = copy_content<K, Visible, Tabs>(p, newline, out);
          }
          p = end;
          break;
        }
        // Under -n an empty line takes the steps of one with content, with no branch on which
        // it is; -b leaves it without a number.
        if (N == Numbers::every || newline != p) [[likely]] {
          out = emit_number(number, state.line, out);
          out = copy_content<K, Visible, Tabs>(p, newline, out);
        }
      } else if (newline != p) [[likely]] {
        // A line with content starts, or continues one that an earlier block left open.
        if (run >= 0 && number_lines) out = emit_number(number, state.line, out);
        out = copy_content<K, Visible, Tabs>(p, newline, out);
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
  }
  if constexpr (kept) run = run_after_block(start, p, state.newline_run);
  state.newline_run = run;
  store_number(state.line, number);
  return {p, out};
}

// The kernel when only bytes change (-v, -T, -E): the block is transformed whole, and the
// newline run is worked out from the newlines at its end.
template <class K, bool Visible, bool Tabs, bool Ends>
FORMAT_TARGET FormatStop format_bytes(const unsigned char* p, const unsigned char* end, char* out,
                                      char*, const FormatSwitches&, FormatState& state) {
  state.newline_run = run_after_block(p, end, state.newline_run);
  return {end, transform<K, Visible, Tabs, Ends>(p, end, out)};
}

// The kernels under -v, for the rows that differ from another in -v alone.
template <class K>
FormatFunction choose_visible_function(const FormatSwitches& s) {
  static_assert(VisibleKernels<K>);
  constexpr Numbers R = Numbers::from_switches;
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<K, true, false, false>, format_bytes<K, true, false, true>,
      format_bytes<K, true, true, false>, format_bytes<K, true, true, true>};
  static constexpr FormatFunction k_lines[] = {
      format_lines<K, true, false, false, R>, format_lines<K, true, false, true, R>,
      format_lines<K, true, true, false, R>, format_lines<K, true, true, true, R>};
  unsigned index = (s.show_tabs ? 2 : 0) + (s.show_ends ? 1 : 0);
  return !s.number_lines && !s.squeeze_blank ? k_bytes[index] : k_lines[index];
}

// The kernel for every combination of switches.
template <class K>
FormatFunction choose_format_function(const FormatSwitches& s) {
  static_assert(FormatKernels<K>);
  if (s.show_nonprinting) return choose_visible_function<K>(s);
  static constexpr FormatFunction k_bytes[] = {
      format_bytes<K, false, false, false>, format_bytes<K, false, false, true>,
      format_bytes<K, false, true, false>, format_bytes<K, false, true, true>};
  static constexpr FormatFunction k_tab_lines[] = {
      format_lines<K, false, true, false, Numbers::from_switches>,
      format_lines<K, false, true, true, Numbers::from_switches>};
  static constexpr FormatFunction k_plain_lines[2][5] = {
      {format_lines<K, false, false, false, Numbers::none>,
       format_lines<K, false, false, false, Numbers::nonblank>,
       format_lines<K, false, false, false, Numbers::nonblank_every>,
       format_lines<K, false, false, false, Numbers::all>,
       format_lines<K, false, false, false, Numbers::every>},
      {format_lines<K, false, false, true, Numbers::none>,
       format_lines<K, false, false, true, Numbers::nonblank>,
       format_lines<K, false, false, true, Numbers::nonblank_every>,
       format_lines<K, false, false, true, Numbers::all>,
       format_lines<K, false, false, true, Numbers::every>},
  };
  unsigned ends = s.show_ends ? 1 : 0;
  if (!s.number_lines && !s.squeeze_blank) return k_bytes[(s.show_tabs ? 2 : 0) + ends];
  if (s.show_tabs) return k_tab_lines[ends];
  const unsigned squeezed = s.squeeze_blank ? 0 : 1;
  unsigned numbers = !s.number_lines ? 0 : s.number_nonblank ? 1 + squeezed : 3 + squeezed;
  return k_plain_lines[ends][numbers];
}

}  // namespace
