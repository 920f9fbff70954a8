// SPDX-License-Identifier: MIT
// The plain engine: every live pair is scanned at every step. It is the
// reference that the fast engine is held to, so it stays as simple as the
// method itself.
#include <vector>

#include "engine/join_step.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/scan.hpp"
#include "engine/state.hpp"

namespace nj {

namespace {

// Offers the live pairs in scan order (see ScanChoice).
ScanChoice scan_all_pairs(const NJState& state, double m) {
  ScanChoice best;
  const std::vector<double>& d = state.matrix.distances;
  const std::vector<double>& r = state.row_sums;
  const std::size_t n = state.active.size();
  for (std::size_t i = state.active.next(0); i < n; i = state.active.next(i + 1)) {
    const std::size_t row = pair_index(0, i);
    for (std::size_t j = state.active.next(0); j < i; j = state.active.next(j + 1)) {
      best.offer(i, j, ((m - 2.0) * d[row + j] - r[i]) - r[j]);
    }
  }
  return best;
}

}  // namespace

TreeResult finish_plain(NJState& state, StopPoller& poller) {
  // Each join retires one slot, so this makes exactly n-2 join steps in all.
  for (std::uint64_t live = state.active.count(); live > 2; --live) {
    const auto m = static_cast<double>(live);
    const ScanChoice best = scan_all_pairs(state, m);
    if (!best.found) return std::unexpected(std::string("No pair found"));
    join_pair(state, best.i, best.j, m);
    poller.spend(live * live / 2);
  }
  return final_join(state);
}

void join_pair(NJState& state, std::size_t i, std::size_t j, double m) {
  std::vector<std::size_t> live;
  live.reserve(static_cast<std::size_t>(m));
  const std::size_t n = state.active.size();
  for (std::size_t s = state.active.next(0); s < n; s = state.active.next(s + 1)) live.push_back(s);
  detail::join_slots<false>(state, i, j, m, live, [](std::size_t, double) {});
}

TreeResult neighbor_joining_plain(DistMat matrix, const StopCheck& should_stop) {
  return build_tree(std::move(matrix), RowTotals{}, should_stop, finish_plain);
}

}  // namespace nj
