// SPDX-License-Identifier: MIT
// Offsets of subtrees, which condition the fast engine's bounds. Adding a_x
// + a_y to every distance d(x, y) moves every Q by the same amount (a long
// terminal branch, or a genome with a run of N, does that to every distance
// of one subtree), so Neighbor-Joining ignores it, but bounds that pair the
// smallest distance of a segment with the largest row sum of a bin do not:
// they come apart by m times the spread of such offsets. Writing
//   Q = c d - r_x - r_y = c (d - a_y) - r_x - (r_y - c a_y)
// a row keys its entries by d - a_y and bins its partners by r_y - c a_y,
// from which those offsets have been taken out. Only the bounds change: every
// Q the search evaluates is still the plain engine's, from d and the row
// sums. The bounds are then computed from rounded values that differ from the
// exact ones, so each is lowered by a margin that covers the rounding.
#pragma once

#include <cstddef>
#include <vector>


namespace nj::fast {

/// The offset of each slot's subtree, and what bounds the margin.
struct Offsets {
  std::vector<double> of;         // a_s; all zero when not in use
  bool on = false;
  double largest_distance = 0.0;  // at least |d| for every live pair
  double largest_offset = 0.0;    // at least |a_s| for every live subtree

  /// Gives the new subtree in `slot`, whose distances to the live subtrees
  /// lie in [lowest, highest], its smallest distance as its offset; false
  /// when its distances are too large for offsets (the run must then leave
  /// the bounds that use them).
  bool admit(std::size_t slot, double lowest, double highest) noexcept;
};

/// When offsets are used: where they help (automatic), or for tests and
/// benchmarks always or never.
enum class OffsetPolicy { automatic, always, never };
void set_offset_policy(OffsetPolicy policy) noexcept;

/// Whether offsets may be used at all, before the leaves' smallest
/// distances are known: choose_offsets turns them on only where this holds.
bool offsets_may_help(const std::vector<double>& row_sums);

/// The offsets of the leaves: each leaf's smallest distance to another (a
/// new subtree's are likewise its smallest distance). They help where a few
/// row sums lie far above the others (the largest more than the median above
/// it: near-identical genomes, some with runs of N), and are not worth their
/// cost elsewhere. They are never used where every offset is the same: the
/// margin would then keep the search from passing over exact ties, which
/// such inputs (every distance equal) are made of; nor where a distance is
/// so large that a shifted value could overflow. Unused offsets are all 0,
/// and the bounds are then exactly those without offsets.
/// `lowest`: each leaf's smallest distance to another; `largest`: the
/// largest absolute distance.
Offsets choose_offsets(std::vector<double> lowest, double largest,
                       const std::vector<double>& row_sums);

/// How far a bound computed from offsets may lie above the exact bound,
/// at c = `c`, given the largest absolute row sum and shifted row sum:
/// 0 when offsets are not in use.
double rounding_margin(const Offsets& offsets, double c, double largest_sum,
                       double largest_shifted) noexcept;

}  // namespace nj::fast
