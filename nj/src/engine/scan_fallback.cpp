// SPDX-License-Identifier: MIT
// The fallback of the fast engine once a distance or row sum is infinite or
// NaN, where no bound can order the pairs: every live pair is still scanned
// in the plain engine's order with its rule, but the rows are read through a
// list of the live slots and four Q values are tested at once for whether
// any of them would replace the best pair. Most never do, and only those
// that may are offered one by one, in scan order, so the choice is the plain
// scan's exactly, NaN included.
#include <cstring>
#include <vector>

#include "engine/join_step.hpp"
#include "engine/scan.hpp"
#include "simd.hpp"

namespace nj {

namespace {

using detail::Lanes;

/// Offers the pairs (i, live[t]) for t < count, in ascending t, with their
/// Q = ((c * d) - r_i) - r_j, d read from `row` at the partner's slot.
NJ_TARGET_CLONES_AVX2 void scan_row(const double* row, const std::size_t* live,
                                    const double* r_live, std::size_t count, std::size_t i,
                                    double r_i, double c, ScanChoice& best) {
  std::size_t t = 0;
  if (!best.found && count > 0) {
    best.offer(i, live[0], ((c * row[live[0]]) - r_i) - r_live[0]);
    t = 1;
  }
  for (; t + 4 <= count; t += 4) {
    const Lanes d = {row[live[t]], row[live[t + 1]], row[live[t + 2]], row[live[t + 3]]};
    Lanes r_j;
    std::memcpy(&r_j, r_live + t, sizeof r_j);
    const Lanes q = ((c * d) - r_i) - r_j;
    // ScanChoice::offer's test, negated, in four lanes: all -1 when none
    // of the four would replace the best pair.
    const auto keeps = best.q <= q;
    if (keeps[0] & keeps[1] & keeps[2] & keeps[3]) continue;
    for (std::size_t lane = 0; lane < 4; ++lane) best.offer(i, live[t + lane], q[lane]);
  }
  for (; t < count; ++t) best.offer(i, live[t], ((c * row[live[t]]) - r_i) - r_live[t]);
}

}  // namespace

TreeResult finish_scanning(NJState& state, StopPoller& poller) {
  const std::size_t n = state.active.size();
  std::vector<std::size_t> live;
  std::vector<double> r_live;
  for (std::uint64_t count = state.active.count(); count > 2; --count) {
    live.clear();
    for (std::size_t s = state.active.next(0); s < n; s = state.active.next(s + 1)) {
      live.push_back(s);
    }
    r_live.resize(live.size());
    for (std::size_t t = 0; t < live.size(); ++t) r_live[t] = state.row_sums[live[t]];
    const auto m = static_cast<double>(count);
    ScanChoice best;
    for (std::size_t a = 1; a < live.size(); ++a) {
      const std::size_t i = live[a];
      scan_row(state.matrix.distances.data() + pair_index(0, i), live.data(), r_live.data(), a, i,
               r_live[a], m - 2.0, best);
    }
    if (!best.found) return std::unexpected(std::string("No pair found"));
    detail::join_slots(state, best.i, best.j, m, live, [](std::size_t, double) {});
    poller.spend(count * count / 8);
  }
  return final_join(state);
}

}  // namespace nj
