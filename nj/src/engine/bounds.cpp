// SPDX-License-Identifier: MIT
#include "engine/bounds.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "simd.hpp"

namespace nj::fast {

namespace {

using detail::Lanes;
using detail::WideLanes;

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

#if defined(__x86_64__)
// select_range without the branch on each row's bounds, which goes either
// way unpredictably (a fifth of the rows pass, in no pattern): every row is
// written to `out` and counted only when one of its segments passes, by the
// mask of an AVX-512 comparison. The smallest bound is then looked for
// among the rows that passed, in their order, as select_range finds it.
// Without AVX-512 the branch stays.

/// The smallest bound of the rows out[first, rows), in the instructions of
/// the caller.
__attribute__((always_inline)) inline void take_lowest(const double* front, const double* r,
                                                       const Lanes (&r_bin)[2], double c,
                                                       const RowToWalk* out, std::size_t first,
                                                       std::size_t rows,
                                                       Selection& selection) noexcept {
  for (std::size_t k = first; k < rows; ++k) {
    const std::size_t x = out[k].slot;
    const double lowest = RowLanes::of(front + x * bins, r[x], r_bin, c).lowest();
    if (lowest < selection.lowest) {
      selection.lowest = lowest;
      selection.lowest_slot = x;
    }
  }
}

// (In vector arithmetic rather than intrinsics: GCC 12's AVX-512 intrinsics
// warn of the undefined vectors they start from.)
template <bool ties_count>
__attribute__((target("avx512f"))) void select_range_avx512(const double* front,
                                                           const Partner* live, std::size_t count,
                                                           const double* r,
                                                           const Lanes (&r_bin)[2], double c,
                                                           double best, RowToWalk* out,
                                                           Selection& selection) {
  constexpr int below = ties_count ? _CMP_LE_OQ : _CMP_LT_OQ;
  const WideLanes r_bins = __builtin_shufflevector(r_bin[0], r_bin[1], 0, 1, 2, 3, 4, 5, 6, 7);
  const __m512d best_lanes = _mm512_set1_pd(best);
  const std::size_t first = selection.rows;
  std::size_t rows = first;
  constexpr std::size_t ahead = 16;
  for (std::size_t at = 0; at < count; ++at) {
    if (at + ahead < count) __builtin_prefetch(front + live[at + ahead] * bins);
    const std::size_t x = live[at];
    WideLanes f;
    std::memcpy(&f, front + x * bins, sizeof f);
    const WideLanes t = c * f;
    const WideLanes as_higher = (t - r[x]) - r_bins;
    const WideLanes as_lower = (t - r_bins) - r[x];
    const WideLanes bound = as_higher < as_lower ? as_higher : as_lower;
    const std::uint32_t segments = _mm512_cmp_pd_mask(bound, best_lanes, below);
    out[rows] = RowToWalk{static_cast<Partner>(x), segments};
    rows += segments != 0 ? 1 : 0;
  }
  selection.rows = rows;
  take_lowest(front, r, r_bin, c, out, first, rows, selection);
}
#endif

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
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    select_range_avx512<true>(front, live, ties_end, r, r_bin, c, best, out, selection);
    select_range_avx512<false>(front, live + ties_end, count - ties_end, r, r_bin, c, best, out,
                               selection);
    return selection;
  }
#endif
  select_range<true>(front, live, ties_end, r, r_bin, c, best, out, selection);
  select_range<false>(front, live + ties_end, count - ties_end, r, r_bin, c, best, out,
                      selection);
  return selection;
}

}  // namespace nj::fast
