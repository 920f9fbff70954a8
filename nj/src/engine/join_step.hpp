// SPDX-License-Identifier: MIT
// The join-step arithmetic that the plain and the fast engine share, so that
// both make every length, distance and row sum with the same operations.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>

#include "engine/matrix_fetch.hpp"
#include "engine/state.hpp"

namespace nj {

/// One join step of the plain engine on slots i > j, m of them live:
/// lengths, new node, update, retire.
void join_pair(NJState& state, std::size_t i, std::size_t j, double m);

namespace detail {

/// One join of slots i > j: lengths, new node in slot i, update and retire of
/// slot j. `live` lists the live slots in ascending order (i and j among
/// them); `on_new_distance(k, e)` sees every new distance e of the pair
/// (i, k), in ascending k, right after it is stored. With `fetch_rows`,
/// rows i and j are fetched ahead of use: for the fast engine, whose matrix
/// mostly lies outside the caches; a scan of every pair keeps more of it in
/// them, and the fetches only cost it time.
template <bool fetch_rows, class LiveSlots, class OnNewDistance>
void join_slots(NJState& state, std::size_t i, std::size_t j, double m, const LiveSlots& live,
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
  // j sit in the same row k, which is fetched some live slots ahead of use.
  // The column values are fetched into the second-level cache only (a tenth
  // less time in this loop than fetching them into the first, at 16 slots
  // ahead); rows i and j, read in order, are fetched too where asked.
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
  const std::size_t count = std::size(live);
  const auto position = [&](std::size_t slot) {
    return static_cast<std::size_t>(std::lower_bound(std::begin(live), std::end(live), slot) -
                                    std::begin(live));
  };
  const std::size_t at_j = position(j);
  const std::size_t at_i = position(i);
  const std::size_t row_i = pair_index(0, i);
  const std::size_t row_j = pair_index(0, j);
  for (std::size_t t = 0; t < at_j; ++t) {
    if (fetch_rows && t + row_ahead < at_j) {
      fetch_to_write(d + row_i + live[t + row_ahead]);
      fetch_to_read(d + row_j + live[t + row_ahead]);
    }
    const std::size_t k = live[t];
    update(k, row_i + k, row_j + k);
  }
  for (std::size_t t = at_j + 1; t < at_i; ++t) {
    if (t + column_ahead < at_i) fetch_to_read(d + pair_index(j, live[t + column_ahead]));
    if (fetch_rows && t + row_ahead < at_i) fetch_to_write(d + row_i + live[t + row_ahead]);
    const std::size_t k = live[t];
    update(k, row_i + k, pair_index(j, k));
  }
  for (std::size_t t = at_i + 1; t < count; ++t) {
    if (t + column_ahead < count) {
      fetch_to_write(d + pair_index(i, live[t + column_ahead]));
      fetch_to_read(d + pair_index(j, live[t + column_ahead]));
    }
    const std::size_t k = live[t];
    update(k, pair_index(i, k), pair_index(j, k));
  }
  r[i] = r_i;
  r[j] = 0.0;
  state.active.remove(j);
}

}  // namespace detail

}  // namespace nj
