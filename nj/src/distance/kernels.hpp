// SPDX-License-Identifier: MIT
// Counting differences and transitions between bit-plane rows, with one
// kernel per instruction-set level chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "alphabet.hpp"

namespace nj::detail {

/// The instruction sets a kernel may use. The library is built for the
/// baseline of its target, so wider kernels run only after the processor
/// has been asked whether it has them.
enum class SimdLevel : std::uint8_t {
  Portable,  // 64-bit words, std::popcount as the baseline compiles it
  Popcnt,    // 64-bit words with the POPCNT instruction (x86-64)
  Avx2,      // 256-bit vectors, nibble-table population counts (x86-64)
  Avx512,    // 512-bit vectors with VPOPCNTQ (x86-64, AVX512F + VPOPCNTDQ)
};

std::string_view simd_level_name(SimdLevel level) noexcept;
bool simd_level_supported(SimdLevel level) noexcept;
/// The widest supported level, asked once per process.
SimdLevel best_simd_level() noexcept;
/// Every level this processor supports, narrowest first.
std::span<const SimdLevel> supported_simd_levels() noexcept;

/// What the kernels count for one pair of rows; transitions stay 0 for
/// protein.
struct PairCounts {
  std::uint64_t differences = 0;
  std::uint64_t transitions = 0;
};

/// The most blocks of one range, so that the kernels may sum a range's
/// counts in 32 bits.
inline constexpr std::size_t max_run_blocks = std::size_t{1} << 20;

/// One row against a run of consecutive rows, over a range of blocks.
struct RowRun {
  const std::uint64_t* row;     // the first block of the range in the row
  const std::uint64_t* others;  // the same block in the first row of the run
  std::size_t stride;           // words from one row to the next
  std::size_t count;            // rows in the run
  std::size_t blocks;           // blocks in the range, at most max_run_blocks
  bool first;                   // the row's first range: counts are written, not added to
};

/// Rows of a run that the widest kernel compares with the run's row at
/// once; a run of a multiple of this many wastes no work.
inline constexpr std::size_t row_group = 8;

/// Adds the counts of `run.row` against run row k to counts[k], or writes
/// them there for a run's first range.
using CountFn = void (*)(const RowRun& run, PairCounts* counts) noexcept;

/// The kernel of `level` for alphabet A; `level` must be supported. Only
/// with `transitions` (and DNA) are transitions counted; else they stay 0.
template <Alphabet A>
CountFn count_function(SimdLevel level, bool transitions) noexcept;

}  // namespace nj::detail
