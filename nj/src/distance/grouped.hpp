// SPDX-License-Identifier: MIT
// Complete DNA rows compared eight at a time, lane by lane: a run's rows
// regrouped so that one vector holds the same word of eight rows. Each lane
// then counts one pair, and the counts need no sums across lanes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"

namespace nj::detail {

/// Rows regrouped together.
inline constexpr std::size_t group_rows = 8;

/// Words of one block of a group: the low and high planes of eight rows.
inline constexpr std::size_t group_block_words = 2 * block_words * group_rows;

/// A row against a run of complete rows regrouped by regroup_run.
struct GroupedRun {
  const std::uint64_t* row;     // the first block of the range in the row (bit planes)
  const std::uint64_t* groups;  // the run, regrouped
  std::size_t count;            // rows of the run compared with the row
  std::size_t blocks;           // blocks in the range
  bool first;                   // the row's first range: counts are written, not added to
};

/// The grouped counting of one instruction-set level.
struct GroupedKernel {
  /// Regroups the low and high planes of `blocks` blocks of `count` rows
  /// (the first at `first`, each `stride` words after the previous one)
  /// into `out`: group g, block b, plane p, word w of row 8g + k at word
  /// ((((g * blocks + b) * 2 + p) * 8 + w) * 8 + k). Rows past `count` up
  /// to a whole group are zero. `out` holds ceil(count / 8) * blocks *
  /// group_block_words words.
  void (*regroup)(const std::uint64_t* first, std::size_t stride, std::size_t count,
                  std::size_t blocks, std::uint64_t* out) noexcept = nullptr;
  /// Adds the counts of `run.row` against run row k to counts[k] (writes
  /// them for a first range), both complete DNA rows.
  void (*count)(const GroupedRun& run, PairCounts* counts) noexcept = nullptr;

  explicit operator bool() const noexcept { return count != nullptr; }
};

/// The grouped kernel at `level`, or none (null members) where the level
/// has no such kernel (below AVX-512).
GroupedKernel grouped_kernel(SimdLevel level, bool transitions) noexcept;

}  // namespace nj::detail
