// SPDX-License-Identifier: MIT
// The working state of one Neighbor-Joining run, which both engines reduce
// join by join, and the steps every run shares: the runs that need no join
// and the final join.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/row_totals.hpp"
#include "engine/neighbor_joining.hpp"
#include "nj/stop.hpp"
#include "tree.hpp"

namespace nj {

/// The live slots of a run: a bit set that only ever loses members.
class ActiveSet {
 public:
  explicit ActiveSet(std::size_t n);

  bool contains(std::size_t s) const noexcept { return (words_[s / 64] >> (s % 64)) & 1u; }
  void remove(std::size_t s) noexcept { words_[s / 64] &= ~(std::uint64_t{1} << (s % 64)); }
  /// The number of live slots (the count of set bits).
  std::uint64_t count() const noexcept;
  /// The lowest live slot at or above `s`, or size() when there is none.
  std::size_t next(std::size_t s) const noexcept {
    if (s >= n_) return n_;
    std::size_t w = s / 64;
    std::uint64_t word = words_[w] & (~std::uint64_t{0} << (s % 64));
    while (word == 0) {
      if (++w == words_.size()) return n_;
      word = words_[w];
    }
    return w * 64 + static_cast<std::size_t>(std::countr_zero(word));
  }
  std::size_t size() const noexcept { return n_; }

 private:
  std::size_t n_;
  std::vector<std::uint64_t> words_;
};

/// The working state of one run. Slot s starts with leaf s; joining slots
/// i > j puts the new subtree into slot i and retires slot j for good.
struct NJState {
  /// For each live slot, the maintained sum of its distances to every other
  /// live slot (updated incrementally, so it may differ in its last bits
  /// from a fresh sum); 0.0 for a retired slot.
  std::vector<double> row_sums;
  /// The subtree in each live slot; empty in retired slots.
  std::vector<std::unique_ptr<TreeNode>> nodes;
  /// Reduced in place; entries that involve a retired slot are stale.
  DistMat matrix;
  ActiveSet active;
  /// The index the next inner node receives; starts at n.
  std::uint64_t next_index;
  /// The range of each leaf's row of the matrix as it was given.
  std::vector<double> leaf_least;
  std::vector<double> leaf_most;

  /// Builds the leaves, the row sums and ranges (RowTotals: `totals` when
  /// sized for the matrix, else added here) and the full live set.
  explicit NJState(DistMat matrix, RowTotals totals = {});
};

/// max(x, 0) as the engine clamps lengths: 0.0 for negative values, zeros of
/// either sign and NaN.
inline double clamp_length(double x) noexcept { return x > 0.0 ? x : 0.0; }

/// The final join of the last two live slots under a root.
TreeResult final_join(NJState& state);

/// An engine's join steps: from a state of two or more live slots to the
/// root, the final join included, spending the run's stop checks.
using JoinSteps = TreeResult (*)(NJState& state, StopPoller& poller);

/// The tree of `matrix`, whose totals are `totals` when sized for it, by
/// `join_steps`. A matrix of no sequence gives the error "Empty distance
/// matrix" and one of a single sequence its leaf; only larger ones are joined.
TreeResult build_tree(DistMat matrix, RowTotals totals, const StopCheck& should_stop,
                      JoinSteps join_steps);

namespace detail {

/// The subtree of a live slot, taken out of it; an empty slot is an
/// InternalError with the text `check`.
std::unique_ptr<TreeNode> take_node(NJState& state, std::size_t slot, const char* check);

}  // namespace detail

}  // namespace nj
