// SPDX-License-Identifier: MIT
#include "engine/bounds.hpp"

#include <algorithm>
#include <cstring>

#include "simd.hpp"

namespace nj::fast {

namespace {

using detail::Lanes;

static_assert(bins == 8, "a row's fronts fill two vectors");

/// Bound (2) at the fronts of the eight segments of a row, as two vectors.
/// (Vectors are never passed by value: that would depend on the target.)
/// Made by a factory, not a constructor: clang omits the body of a
/// constructor of a local type called only from target_clones functions.
struct RowLanes {
  Lanes low;
  Lanes high;

  static RowLanes of(const double* front, double r_x, const Lanes (&r_bin)[2],
                     double c) noexcept {
    RowLanes lanes;
    Lanes f0;
    Lanes f1;
    std::memcpy(&f0, front, sizeof f0);
    std::memcpy(&f1, front + 4, sizeof f1);
    const Lanes t0 = c * f0;
    const Lanes t1 = c * f1;
    const Lanes low_higher = (t0 - r_x) - r_bin[0];
    const Lanes low_lower = (t0 - r_bin[0]) - r_x;
    const Lanes high_higher = (t1 - r_x) - r_bin[1];
    const Lanes high_lower = (t1 - r_bin[1]) - r_x;
    lanes.low = low_higher < low_lower ? low_higher : low_lower;
    lanes.high = high_higher < high_lower ? high_higher : high_lower;
    return lanes;
  }

  double lowest() const noexcept {
    const Lanes m = low < high ? low : high;
    const Lanes m_swapped = __builtin_shufflevector(m, m, 2, 3, 0, 1);
    const Lanes m2 = m < m_swapped ? m : m_swapped;
    const Lanes m2_swapped = __builtin_shufflevector(m2, m2, 1, 0, 3, 2);
    const Lanes m3 = m2 < m2_swapped ? m2 : m2_swapped;
    return m3[0];
  }
};

/// Appends to `out` every row of `live[0..count)` with a segment whose bound
/// (2) at its front is below `best`, or equal to it when `ties_count`.
template <bool ties_count>
inline void select_range(const double* front, const Partner* live, std::size_t count,
                         const double* r, const Lanes (&r_bin)[2], double c, double best,
                         RowToWalk* out, Selection& selection) {
  const auto below = [best](double bound) {
    return ties_count ? bound <= best : bound < best;
  };
  // A row's fronts are one cache line, which the update's stream of matrix
  // lines may have pushed out of the second-level cache: fetched ahead.
  constexpr std::size_t ahead = 16;
  for (std::size_t at = 0; at < count; ++at) {
    if (at + ahead < count) __builtin_prefetch(front + live[at + ahead] * bins);
    const std::size_t x = live[at];
    const RowLanes bound = RowLanes::of(front + x * bins, r[x], r_bin, c);
    const double lowest = bound.lowest();
    if (!below(lowest)) continue;
    std::uint32_t segments = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      segments |= static_cast<std::uint32_t>(below(bound.low[b])) << b;
      segments |= static_cast<std::uint32_t>(below(bound.high[b])) << (b + 4);
    }
    out[selection.rows++] = RowToWalk{static_cast<Partner>(x), segments};
    if (lowest < selection.lowest) {
      selection.lowest = lowest;
      selection.lowest_slot = x;
    }
  }
}

}  // namespace

NJ_TARGET_CLONES_AVX2 Selection select_segments(const double* front, const Partner* live,
                                                std::size_t count, const double* r,
                                                const double* bin_max, double c, double best,
                                                std::size_t best_i, RowToWalk* out) {
  Lanes r_bin[2];
  std::memcpy(&r_bin[0], bin_max, sizeof r_bin[0]);
  std::memcpy(&r_bin[1], bin_max + 4, sizeof r_bin[1]);
  // The live slots ascend, so the rows where ties count come first.
  const std::size_t ties_end =
      static_cast<std::size_t>(std::upper_bound(live, live + count, best_i) - live);
  Selection selection{0, 0, infinity};
  select_range<true>(front, live, ties_end, r, r_bin, c, best, out, selection);
  select_range<false>(front, live + ties_end, count - ties_end, r, r_bin, c, best, out,
                      selection);
  return selection;
}

}  // namespace nj::fast
