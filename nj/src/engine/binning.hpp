// SPDX-License-Identifier: MIT
// How the fast engine puts subtrees into row-sum bins. A segment's bound
// uses the largest row sum of its bin, so what a bin costs is the slack of
// its members, how far each lies below that largest value: near-identical
// genomes give a few subtrees row sums many times the others' (long
// terminal branches, runs of N), which bins of equal rank would mix with
// ordinary ones. The bins are contiguous ranges of rank chosen to make the
// total slack small.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nj::fast {

inline constexpr std::size_t bins = 8;

/// Bins as ranges of row-sum rank: bin b holds the ranks whose fraction of
/// the live count lies below ends[b] (in 65536ths); the last bin ends at 1.
class RankBins {
 public:
  static constexpr std::uint32_t whole = 65536;

  /// Equal ranges of rank.
  RankBins() noexcept;

  /// The ranges that make the slack of `sorted` (ascending row sums) small,
  /// with cuts at a grid of ranks.
  static RankBins fitted(std::span<const double> sorted);

  std::uint8_t bin_of_rank(std::size_t rank, std::size_t count) const noexcept {
    const auto at = static_cast<std::uint32_t>(rank * whole / count);
    std::size_t b = 0;
    while (b + 1 < bins && at >= ends_[b]) ++b;
    return static_cast<std::uint8_t>(b);
  }

 private:
  std::array<std::uint32_t, bins> ends_{};
};

/// How many of `count` values lie below `limit`.
std::size_t count_below(const double* values, std::size_t count, double limit) noexcept;

}  // namespace nj::fast
