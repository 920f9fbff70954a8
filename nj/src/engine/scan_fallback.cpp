// SPDX-License-Identifier: MIT
// The fallback of the fast engine once a distance or row sum is infinite or
// NaN, where no bound can order the pairs. It finds the plain scan's choice,
// NaN included, from the other end. The plain scan visits the pairs in order
// and lets a later pair replace the best one unless best.q <= q (see
// ScanChoice). So a pair of NaN Q always takes over, and the pair after it
// takes over from it; from then on the earliest pair of smallest Q wins. The
// choice is therefore the earliest pair of smallest Q among the pairs after
// the last NaN, or that last NaN pair when no pair follows it (or the
// earliest pair of smallest Q overall when no Q is NaN). Scanning backwards,
// keeping a pair when its Q is at most the best one's (an earlier pair wins
// a tie), and stopping at the first NaN met gives exactly that. Saturated
// matrices make most Q NaN, so a step then reads a few pairs instead of all.
#include <cstring>
#include <vector>

#include "engine/join_step.hpp"
#include "engine/scan.hpp"
#include "simd.hpp"

namespace nj {

namespace {

using detail::Lanes;

/// A pair met scanning backwards comes before every pair met so far in the
/// plain scan's order: it takes over on a tie.
void offer_earlier(ScanChoice& best, std::size_t hi, std::size_t lo, double value) noexcept {
  if (!best.found || value <= best.q) best = ScanChoice{hi, lo, value, true};
}

/// Offers the pairs (i, live[t]), t from count - 1 down to 0, with their
/// Q = ((c * d) - r_i) - r_j, d read from `row` at the partner's slot; four
/// at a time, and one by one only where a lane is NaN or may take over.
/// Stops at the first NaN Q met and returns its t, or returns count.
NJ_TARGET_CLONES_AVX2 std::size_t scan_row_backward(const double* row, const std::size_t* live,
                                                    const double* r_live, std::size_t count,
                                                    std::size_t i, double r_i, double c,
                                                    ScanChoice& best) {
  const auto one = [&](std::size_t t, double q) {
    if (q != q) return true;
    offer_earlier(best, i, live[t], q);
    return false;
  };
  std::size_t t = count;
  while (t % 4 != 0) {
    --t;
    if (one(t, ((c * row[live[t]]) - r_i) - r_live[t])) return t;
  }
  for (; t >= 4; t -= 4) {
    const std::size_t s = t - 4;
    const Lanes d = {row[live[s]], row[live[s + 1]], row[live[s + 2]], row[live[s + 3]]};
    Lanes r_j;
    std::memcpy(&r_j, r_live + s, sizeof r_j);
    const Lanes q = ((c * d) - r_i) - r_j;
    // A lane stands out when it is NaN or at most the best Q (-1 each).
    const auto stands_out = (q != q) | (q <= best.q);
    if (best.found && !(stands_out[0] | stands_out[1] | stands_out[2] | stands_out[3])) continue;
    for (std::size_t lane = 4; lane-- > 0;) {
      if (one(s + lane, q[lane])) return s + lane;
    }
  }
  return count;
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
    for (std::size_t a = live.size(); a-- > 1;) {
      const std::size_t i = live[a];
      const std::size_t nan_at =
          scan_row_backward(state.matrix.distances.data() + pair_index(0, i), live.data(),
                            r_live.data(), a, i, r_live[a], m - 2.0, best);
      if (nan_at == a) continue;
      if (!best.found) best = ScanChoice{i, live[nan_at], 0.0, true};
      break;
    }
    if (!best.found) return std::unexpected(std::string("No pair found"));
    detail::join_slots<false>(state, best.i, best.j, m, live, [](std::size_t, double) {});
    poller.spend(count * count / 8);
  }
  return final_join(state);
}

}  // namespace nj
