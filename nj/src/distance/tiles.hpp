// SPDX-License-Identifier: MIT
// How the triangle of pairs is walked for counting: tiles of rows sized for
// the caches, and the matrix they fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"
#include "nj/stop.hpp"

namespace nj::detail {

struct TilePlan {
  std::size_t chunk_blocks;  // blocks counted for the whole tile before the next chunk
  std::size_t run_rows;      // rows j compared with each row i of a tile
};

/// Cache budgets: the run rows of a chunk stay in the first-level cache
/// while every row of the tile passes over them, and the tile's rows stay in
/// the second-level cache while the runs go by.
template <Alphabet A>
TilePlan plan_tiles(const PlaneShape<A>& shape) noexcept {
  constexpr std::size_t chunk_bytes = 2048;
  constexpr std::size_t run_budget_bytes = 32 * 1024;
  constexpr std::size_t block_bytes = PlaneShape<A>::block_size() * sizeof(std::uint64_t);
  static_assert(chunk_bytes / block_bytes <= max_run_blocks);
  const std::size_t chunk_blocks =
      std::clamp<std::size_t>(chunk_bytes / block_bytes, 1, std::max<std::size_t>(shape.blocks, 1));
  const std::size_t run_rows =
      std::clamp<std::size_t>(run_budget_bytes / (chunk_blocks * block_bytes), 8, 128);
  // Whole row groups: the widest kernel counts a short last group as a whole one.
  return {chunk_blocks, run_rows - run_rows % row_group};
}

/// Rows i of a tile; the triangle is walked in tiles of this many. Fewer
/// rows would read the runs' rows more often; more would let the tile's
/// rows of the matrix (4 MB for 64 of 8,000 rows), zeroed and then written
/// over, leave the caches between the two.
inline constexpr std::size_t tile_rows = 64;

/// The pairs (i, j) with i in [i_first, i_end) and j in [j_first, min(j_end, i)).
struct Tile {
  std::size_t i_first;
  std::size_t i_end;
  std::size_t j_first;
  std::size_t j_end;

  std::size_t width() const noexcept { return j_end - j_first; }
  std::size_t run_length(std::size_t i) const noexcept { return std::min(j_end, i) - j_first; }
  std::uint64_t pairs() const noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = i_first; i < i_end; ++i) total += run_length(i);
    return total;
  }
};

/// A zero matrix of `count` values. It is filled in steps, `should_stop`
/// asked after each (Cancelled when it says yes), so that a stop request is
/// noticed while gigabytes are paged in.
std::vector<double> allocate_values(std::size_t count, const StopCheck& should_stop);

/// Extends `values` with zeros to `count` values (at most its capacity, so
/// that it never moves), asking the system for all the new pages at once
/// rather than a page fault at a time.
void grow_values(std::vector<double>& values, std::size_t count);

}  // namespace nj::detail
