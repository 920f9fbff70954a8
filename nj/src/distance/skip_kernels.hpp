// SPDX-License-Identifier: MIT
// Counting under the skip rule: a column counts for a pair only where both
// rows hold a residue, so each pair has its own number of columns compared.
#pragma once

#include <cstdint>

#include "alphabet.hpp"
#include "distance/kernels.hpp"

namespace nj::detail {

/// What a skip-rule kernel counts for one pair; transitions stay 0 unless
/// asked for (and for protein). Four words, so that two pairs fill a
/// 512-bit register.
struct SkipCounts {
  std::uint64_t differences = 0;
  std::uint64_t transitions = 0;
  std::uint64_t compared = 0;
  std::uint64_t unused = 0;
};

/// Adds the counts of `run.row` against run row k to counts[k], or writes
/// them there for a run's first range. Rows are encoded with every
/// non-residue as the gap, so "present" means "a residue".
using SkipCountFn = void (*)(const RowRun& run, SkipCounts* counts) noexcept;

/// The kernel of `level` (which must be supported) for alphabet A; only
/// with `transitions` (and DNA) are transitions counted.
template <Alphabet A>
SkipCountFn skip_count_function(SimdLevel level, bool transitions) noexcept;

}  // namespace nj::detail
