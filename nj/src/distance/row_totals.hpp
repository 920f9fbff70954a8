// SPDX-License-Identifier: MIT
// The row sums of a distance matrix and the range of each row, added while a
// build writes the rows: each row is read again while it is still in the
// caches, not in passes of their own over the whole matrix afterwards.
#pragma once

#include <cstddef>
#include <vector>

#include "distance/matrix.hpp"

namespace nj {

/// What the engines first read of every row of a matrix of n sequences.
struct RowTotals {
  /// sums[h]: 0.0 plus the distances of h to t = 0, 1, ..., n-1 in that
  /// order, the diagonal's 0.0 included.
  std::vector<double> sums;
  /// least[h] and most[h]: the smallest and the largest of the values
  /// stored in row h of the triangle (its distances to t < h; infinity and
  /// -infinity for row 0). Between zeros of both signs either may come out.
  std::vector<double> least;
  std::vector<double> most;

  /// Whether these are the totals of some matrix of n sequences.
  bool sized_for(std::size_t n) const noexcept {
    return sums.size() == n && least.size() == n && most.size() == n;
  }
};

/// Adds the totals of the rows of a condensed triangle as they become final,
/// in ascending order. Every sum takes its terms in the order RowTotals
/// states, however the rows arrive in calls, so the totals are the same bit
/// for bit as row_totals of the finished matrix.
class RowTotaller {
 public:
  /// A totaller of n rows; one of no rows adds nothing, for builds that
  /// want no totals.
  explicit RowTotaller(std::size_t n);

  /// Rows [0, end) of `distances` are final; adds those not yet added.
  void add_rows(const double* distances, std::size_t end) noexcept;

  /// Every row is final: adds the rest, and gives the totals.
  RowTotals finish(const double* distances) &&;

 private:
  RowTotals totals_;
  std::size_t added_ = 0;
};

/// The totals of a whole matrix, in one pass over its rows.
RowTotals row_totals(const DistMat& matrix);

}  // namespace nj
