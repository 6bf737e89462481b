// SPDX-License-Identifier: MIT
// The tables of the -v expansion by byte shuffles, which SSSE3's pshufb and NEON's TBL both
// read: what each group of four bytes keeps of its "M-", caret and shown byte.
#pragma once

namespace {

// Under -v a byte becomes an optional "M-" (bit 7 set), an optional "^" (a control or DEL once
// bit 7 is cleared) and the shown byte; under -E a newline becomes "$" and the newline, the
// same shape with "$" for the "^". Four input bytes give at most 16 output bytes, so one shuffle
// builds them from a vector holding "M-", the caret and the shown byte for each of the four;
// which parts each byte keeps is a key of 8 bits, and a table gives the shuffle for each key.
// Its unused places hold 0x80, which gives a zero byte with either shuffle: pshufb zeroes a
// byte whose index has bit 7 set, TBL one whose index is 16 or more.
struct Pick {
  alignas(16) unsigned char shuffle[16];
  unsigned length;
};

struct PickTable {
  Pick pick[256];
  // The carets and shown bytes of four bytes, from byte 0 (or 8) of a vector of pairs to
  // positions 4k+2 and 4k+3.
  alignas(16) unsigned char spread[2][16];
};

constexpr PickTable make_pick_table() {
  PickTable t{};
  for (unsigned key = 0; key < 256; ++key) {
    Pick& p = t.pick[key];
    unsigned n = 0;
    for (unsigned k = 0; k < 4; ++k) {
      if ((key >> k) & 1) {
        p.shuffle[n++] = static_cast<unsigned char>(4 * k);
        p.shuffle[n++] = static_cast<unsigned char>(4 * k + 1);
      }
      if ((key >> (4 + k)) & 1) p.shuffle[n++] = static_cast<unsigned char>(4 * k + 2);
      p.shuffle[n++] = static_cast<unsigned char>(4 * k + 3);
    }
    p.length = n;
    for (; n < 16; ++n) p.shuffle[n] = 0x80;
  }
  for (unsigned h = 0; h < 2; ++h)
    for (unsigned i = 0; i < 16; ++i)
      t.spread[h][i] =
          i % 4 < 2 ? 0x80 : static_cast<unsigned char>(8 * h + 2 * (i / 4) + i % 4 - 2);
  return t;
}

constexpr PickTable k_pick_table = make_pick_table();

}  // namespace
