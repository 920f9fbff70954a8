// SPDX-License-Identifier: MIT
// The join-step arithmetic that the plain and the fast engine share, so that
// both make every length, distance and row sum with the same operations.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>

#include "nj/nj.hpp"

namespace nj::detail {

std::unique_ptr<TreeNode> take_node(NJState& state, std::size_t slot, const char* check);

/// One join of slots i > j: lengths, new node in slot i, update and retire of
/// slot j. `on_new_distance(k, e)` sees every new distance e of the pair
/// (i, k), in ascending k, right after it is stored.
template <class OnNewDistance>
void join_slots(NJState& state, std::size_t i, std::size_t j, double m,
                OnNewDistance&& on_new_distance) {
  double* r = state.row_sums.data();
  double* d = state.matrix.distances.data();
  const double d_ij = d[pair_index(j, i)];
  const double length_i = clamp_length(0.5 * d_ij + (r[i] - r[j]) / ((m - 2.0) + (m - 2.0)));
  const double length_j = clamp_length(d_ij - length_i);

  std::unique_ptr<TreeNode> from_i = take_node(state, i, "node i exists");
  std::unique_ptr<TreeNode> from_j = take_node(state, j, "node j exists");
  from_i->branch_length = length_i;
  from_j->branch_length = length_j;
  state.nodes[i] = TreeNode::inner(std::move(from_i), std::move(from_j), state.next_index++);

  // Each r[k] and the running r[i] carry their rounding into later steps, so
  // the slots are visited in ascending order and the operations stay as they
  // are. Slots below i read row i contiguously; above i, column i and column
  // j sit in the same row k, which is fetched ahead of use.
  const ActiveSet& active = state.active;
  const std::size_t n = active.size();
  double r_i = r[i] - d_ij;
  const auto update = [&](std::size_t k, std::size_t at_ik, std::size_t at_jk) {
    const double d_ik = d[at_ik];
    const double d_jk = d[at_jk];
    const double e = ((d_ik + d_jk) - d_ij) * 0.5;
    r_i = (r_i - d_ik) + e;
    r[k] = e + ((r[k] - d_ik) - d_jk);
    d[at_ik] = e;
    on_new_distance(k, e);
  };
  const std::size_t row_i = pair_index(0, i);
  const std::size_t row_j = pair_index(0, j);
  constexpr std::size_t ahead = 24;
  std::size_t k = active.next(0);
  for (; k < j; k = active.next(k + 1)) update(k, row_i + k, row_j + k);
  for (k = active.next(j + 1); k < i; k = active.next(k + 1)) {
    if (k + ahead < i) __builtin_prefetch(d + pair_index(j, k + ahead), 0);
    update(k, row_i + k, pair_index(j, k));
  }
  for (k = active.next(i + 1); k < n; k = active.next(k + 1)) {
    if (k + ahead < n) {
      __builtin_prefetch(d + pair_index(i, k + ahead), 1);
      __builtin_prefetch(d + pair_index(j, k + ahead), 0);
    }
    update(k, pair_index(i, k), pair_index(j, k));
  }
  r[i] = r_i;
  r[j] = 0.0;
  state.active.remove(j);
}

/// Performs the join steps that remain, each with a scan of every live pair,
/// then the final join. Exact wherever the state came from.
std::expected<std::unique_ptr<TreeNode>, std::string> finish_plain(NJState& state,
                                                                   StopPoller& poller);

}  // namespace nj::detail
