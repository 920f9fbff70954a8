// SPDX-License-Identifier: MIT
#include "engine/binning.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "simd.hpp"

namespace nj::fast {

namespace {

// Cuts between bins fall on this many evenly spaced ranks: finer cuts would
// barely lower the slack, and the choice costs bins * grid^2 steps.
constexpr std::size_t grid = 128;
constexpr std::size_t fitted_from = 1024;

}  // namespace

RankBins::RankBins() noexcept {
  for (std::size_t b = 0; b < bins; ++b) {
    ends_[b] = static_cast<std::uint32_t>((b + 1) * whole / bins);
  }
}

// Dynamic programming over the grid: best[b][k] is the least slack of the
// ranks below cut k in b + 1 bins, the slack of ranks [i, j) being
// (j - i) * sorted[j - 1] - (sum of sorted[i..j)), from prefix sums.
RankBins RankBins::fitted(std::span<const double> sorted) {
  RankBins chosen;
  const std::size_t n = sorted.size();
  // Fitting costs some 65,000 steps, more than a whole small run.
  if (n < fitted_from) return chosen;
  std::vector<double> prefix(n + 1, 0.0);
  for (std::size_t k = 0; k < n; ++k) prefix[k + 1] = prefix[k] + sorted[k];
  std::array<std::size_t, grid + 1> cut{};
  for (std::size_t k = 0; k <= grid; ++k) cut[k] = k * n / grid;
  const auto slack = [&](std::size_t from, std::size_t to) {
    const std::size_t i = cut[from];
    const std::size_t j = cut[to];
    if (i == j) return 0.0;
    return static_cast<double>(j - i) * sorted[j - 1] - (prefix[j] - prefix[i]);
  };
  constexpr double none = std::numeric_limits<double>::infinity();
  std::vector<std::array<double, grid + 1>> best(bins);
  std::vector<std::array<std::uint16_t, grid + 1>> from(bins);
  for (std::size_t k = 0; k <= grid; ++k) best[0][k] = slack(0, k);
  for (std::size_t b = 1; b < bins; ++b) {
    for (std::size_t k = 0; k <= grid; ++k) {
      best[b][k] = none;
      for (std::size_t p = 0; p <= k; ++p) {
        const double total = best[b - 1][p] + slack(p, k);
        if (total < best[b][k]) {
          best[b][k] = total;
          from[b][k] = static_cast<std::uint16_t>(p);
        }
      }
    }
  }
  // Equal ranges of rank are kept unless the fitted ones have clearly less
  // slack (where row sums are all equal, every choice has none), and when
  // the sums overflowed.
  double equal_slack = 0.0;
  for (std::size_t b = 0; b < bins; ++b) equal_slack += slack(b * grid / bins, (b + 1) * grid / bins);
  if (!(best[bins - 1][grid] < 0.75 * equal_slack)) return chosen;
  std::size_t k = grid;
  for (std::size_t b = bins; b-- > 0;) {
    chosen.ends_[b] = static_cast<std::uint32_t>(k * whole / grid);
    k = b > 0 ? from[b][k] : 0;
  }
  return chosen;
}

NJ_TARGET_CLONES_AVX2 std::size_t count_below(const double* values, std::size_t count,
                                             double limit) noexcept {
  std::size_t below = 0;
  for (std::size_t k = 0; k < count; ++k) below += values[k] < limit ? 1u : 0u;
  return below;
}

}  // namespace nj::fast
