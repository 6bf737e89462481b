// SPDX-License-Identifier: MIT
// The formatted copy for every processor: a general register's bytes (8 on a 64-bit machine, 4
// on a 32-bit one) examined at a time with integer arithmetic, and -v written through the table
// with no branch per byte. This is the copy of every architecture without a vector row of its
// own, and of x86 processors without SSE2.
#define FORMAT_TARGET
#include "format_engine.h"
#include "simd_word.h"

namespace plain {
namespace {

// A word's bytes through the table cost about what one byte through the steps of the copy
// costs: the table takes every chunk with a byte to change.
struct Kernels : PlainBits, TableExpansion<1> {
  using Ops = simd::word::Ops;
  using Constants = MaskConstants<Ops>;
};

}  // namespace

const FormatRow format_row = {"plain", 0, choose_format_function<Kernels>};

}  // namespace plain
