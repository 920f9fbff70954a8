// SPDX-License-Identifier: MIT
// The Neighbor-Joining engine.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "nj/distance_matrix.hpp"
#include "nj/stop.hpp"
#include "nj/tree.hpp"

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

  /// Builds the leaves, the row sums (each summed over t = 0..n-1 in order,
  /// the diagonal's 0.0 included) and the full live set.
  explicit NJState(DistMat matrix);
};

/// Performs every join and returns the root, consuming the state. This is the
/// plain engine: each step scans every live pair.
std::expected<std::unique_ptr<TreeNode>, std::string> run(NJState state,
                                                          const StopCheck& should_stop = {});

/// Performs every join and returns the root, consuming the state: the same
/// tree as `run`, bit for bit, found by a search that passes over most pairs
/// on their lower bounds. Matrices with infinite or NaN values, or whose
/// values overflow on the way, are finished by the plain engine.
std::expected<std::unique_ptr<TreeNode>, std::string> run_fast(NJState state,
                                                               const StopCheck& should_stop = {});

/// One join step of the plain engine on slots i > j (exposed so that faster
/// engines share the exact arithmetic): lengths, new node, update, retire.
void join_pair(NJState& state, std::size_t i, std::size_t j, double m);

/// The final join of the last two live slots under a root.
std::expected<std::unique_ptr<TreeNode>, std::string> final_join(NJState& state);

/// max(x, 0) as the engine clamps lengths: 0.0 for negative values, zeros of
/// either sign and NaN.
inline double clamp_length(double x) noexcept { return x > 0.0 ? x : 0.0; }

}  // namespace nj
