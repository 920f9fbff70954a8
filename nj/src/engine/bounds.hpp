// SPDX-License-Identifier: MIT
// The fast engine's search: the rule by which a pair comes first, the lower
// bound of Q over a segment of a row, why passing over pairs on it keeps the
// plain scan's choice, and the pass that selects the segments to walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "engine/keys.hpp"
#include "engine/row_store.hpp"

namespace nj::fast {

/// The chosen pair so far: slots i > j and the exact Q of the pair. Before
/// the first offer i and j lie above every slot and q is infinite, so that
/// every pair comes before it.
struct Choice {
  std::size_t i = std::numeric_limits<std::size_t>::max();
  std::size_t j = std::numeric_limits<std::size_t>::max();
  double q = infinity;

  bool found() const noexcept { return i != std::numeric_limits<std::size_t>::max(); }

  /// Takes (i, j) if it comes first under the plain scan's rule when no Q is
  /// NaN: the smallest Q wins, and equal values go to the pair the plain scan
  /// visits first, the smallest i and then the smallest j.
  void offer(std::size_t hi, std::size_t lo, double value) noexcept {
    if (precedes(value, hi, lo)) {
      i = hi;
      j = lo;
      q = value;
    }
  }

  /// Whether a pair (hi, lo) whose Q is at least `bound` can still come
  /// first.
  bool precedes(double bound, std::size_t hi, std::size_t lo) const noexcept {
    return bound < q || (bound == q && (hi < i || (hi == i && lo < j)));
  }

  /// Whether some pair whose Q is at least `bound` and whose higher slot is
  /// at least `hi_at_least` can still come first.
  bool may_precede(double bound, std::size_t hi_at_least) const noexcept {
    return bound < q || (bound == q && hi_at_least <= i);
  }
};

// The exactness argument. While every live distance and row sum is finite,
// no Q is NaN, so the plain scan picks the pair of smallest Q and, among
// equal values, the pair it visits first; Choice::offer applies that rule to
// every pair it is shown, in any order. Rounding to nearest is monotone:
// a <= a' gives fl(a * c) <= fl(a' * c) for c > 0, fl(a - b) <= fl(a' - b)
// and fl(b - a') <= fl(b - a), overflow to infinity included.
//
// Every live pair belongs to exactly one row, that of its younger member,
// in the segment of the older member's bin; entries whose partner died or
// was replaced since are stale and skipped. A row may keep only the first
// entries of each segment, in bucket order, and leave the others out of
// the store; whenever bound (2) below at the smallest distance left out
// may still come before the choice, the row is written again from the
// matrix keeping more of them, at last all, and walked again. Take a live
// pair of row x, kept or left out, with partner y, distance d and key k,
// in the segment of bin b, and any v <= d: the entry's decoded key, the
// floor of its bucket or of any bucket before it in the segment, the
// smallest distance the segment held when its row was last written (its
// pairs since are a subset of those), the smallest distance left out of
// the segment (for a pair left out), the larger or the smaller of two such
// values as fits, or the segment's front (the smaller of the smallest
// distance left out and such a value at a kept entry at or before the
// first live one), or, for a pair after the kept entry a front was taken
// at, the same taken at the entry after that one. A row left unwritten
// keeps no entry and leaves out all: its segment's front is its smallest
// distance, and the bound after its first entry the smallest distance of
// the segment's other pairs. With c = m - 2, t = fl(c v), and
// R_b the largest live row sum in bin b, so that r_y <= R_b:
//   Q = fl(fl(fl(c d) - r_hi) - r_lo) >= fl(fl(t - r_hi) - r_lo)      (1)
// where hi and lo are the larger and smaller of x and y, and
//   (1) >= min(fl(fl(t - r_x) - R_b), fl(fl(t - R_b) - r_x))          (2)
// (the first form holds when x is the higher slot, the second otherwise).
// Both bounds only grow with v, and bucket floors only grow along a
// segment, so (2) at one entry's floor bounds every later entry of the
// segment too. None of these is NaN: t is finite or infinite, and the row
// sums, R_b and the lowest finite value standing in for the R_b of an empty
// bin are finite. A pair is passed over only when one of its bounds is
// strictly greater than the Q of a pair already evaluated exactly, or equal
// to it while the pair comes later in the plain scan's order (its higher
// slot lies above that pair's higher slot, as every pair of row x does when
// x does): its own Q is then larger than the smallest Q, or it ties a pair
// visited before it, so it is not the pair the plain scan chooses. The
// chosen pair only moves to a smaller Q, or to an equal Q visited earlier,
// so a pair passed over against an earlier choice stays passed over. Every
// other live pair has its Q computed exactly as the plain scan does and is
// offered.
//
// With offsets (engine/offsets.hpp) every value above is of the shifted
// problem: an entry's value is e = d - a_y, R_b is the largest live r_y -
// c a_y in bin b, and (1) holds for c e - r_x - (r_y - c a_y), which equals
// Q in exact arithmetic. The rounded values may put such a bound a little
// above the rounded Q, so every bound is lowered by a margin that covers the
// roundings before it is compared (0 without offsets, where the bounds above
// are exact as they stand).
inline double segment_bound(double t, double r_x, double r_bin) noexcept {
  const double as_higher = (t - r_x) - r_bin;
  const double as_lower = (t - r_bin) - r_x;
  return as_higher < as_lower ? as_higher : as_lower;
}

/// A live row with segments to walk: bit b of `segments` is set when
/// segment b may hold a pair coming before the choice.
struct RowToWalk {
  Partner slot;
  std::uint32_t segments;
};

/// The rows that may hold a pair coming before a choice, with the smallest
/// bound among them. No default member values: clang can omit the
/// constructor of a type called only from target_clones functions (see
/// RowLanes in bounds.cpp).
struct Selection {
  std::size_t rows;
  std::size_t lowest_slot;
  double lowest;
};

/// Selects the segments of the live rows `live[0..count)` that may hold a
/// pair coming before the choice (Q `best`, higher slot `best_i`): whose
/// bound (2) at the front is below `best`, or equal to it in a row
/// x <= best_i. `out` needs room for every row.
Selection select_segments(const double* front, const Partner* live, std::size_t count,
                          const double* r, const double* bin_max, double c, double best,
                          std::size_t best_i, RowToWalk* out);

}  // namespace nj::fast
