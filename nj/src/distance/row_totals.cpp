// SPDX-License-Identifier: MIT
#include "distance/row_totals.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "simd.hpp"

namespace nj {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Rows added together. Each row's own sum is a chain of dependent
// additions; eight chains side by side keep the adder busy.
constexpr std::size_t group_rows = 8;

// Row h of the triangle holds the terms t < h of sum h and the term t = h of
// every sum below h, so the rows taken in ascending order add each term of
// every sum in its turn while reading the matrix sequentially. The rows
// [h, h + rows) go together; with AVX-512 their running values all stay in
// registers.
template <std::size_t rows>
__attribute__((always_inline)) inline void add_rows_at(const double* distances, std::size_t h,
                                                       double* sums, double* least_out,
                                                       double* most_out) noexcept {
  const double* row[rows];
  double own[rows];
  double least[rows];
  double most[rows];
  for (std::size_t k = 0; k < rows; ++k) {
    row[k] = distances + pair_index(0, h + k);
    own[k] = 0.0;
    least[k] = infinity;
    most[k] = -infinity;
  }
  const auto take = [&](std::size_t k, std::size_t t) {
    const double v = row[k][t];
    own[k] += v;
    least[k] = v < least[k] ? v : least[k];
    most[k] = v > most[k] ? v : most[k];
    return v;
  };
  for (std::size_t t = 0; t < h; ++t) {
    double sum = sums[t];
    for (std::size_t k = 0; k < rows; ++k) sum += take(k, t);
    sums[t] = sum;
  }
  // The terms among the group's rows themselves, in the same order.
  for (std::size_t k = 0; k < rows; ++k) {
    for (std::size_t t = h; t < h + k; ++t) sums[t] += take(k, t);
    sums[h + k] = own[k] + 0.0;  // the diagonal term
    least_out[k] = least[k];
    most_out[k] = most[k];
  }
}

NJ_TARGET_CLONES_AVX512 void add_group_rows(const double* distances, std::size_t h,
                                            double* sums, double* least, double* most) noexcept {
  add_rows_at<group_rows>(distances, h, sums, least, most);
}

void add_one_row(const double* distances, std::size_t h, double* sums, double* least,
                 double* most) noexcept {
  add_rows_at<1>(distances, h, sums, least, most);
}

}  // namespace

RowTotaller::RowTotaller(std::size_t n) {
  totals_.sums.assign(n, 0.0);
  totals_.least.assign(n, infinity);
  totals_.most.assign(n, -infinity);
}

void RowTotaller::add_rows(const double* distances, std::size_t end) noexcept {
  end = std::min(end, totals_.sums.size());
  for (; added_ + group_rows <= end; added_ += group_rows) {
    add_group_rows(distances, added_, totals_.sums.data(), totals_.least.data() + added_,
                   totals_.most.data() + added_);
  }
}

RowTotals RowTotaller::finish(const double* distances) && {
  add_rows(distances, totals_.sums.size());
  for (; added_ < totals_.sums.size(); ++added_) {
    add_one_row(distances, added_, totals_.sums.data(), totals_.least.data() + added_,
                totals_.most.data() + added_);
  }
  return std::move(totals_);
}

RowTotals row_totals(const DistMat& matrix) {
  RowTotaller totaller(matrix.size());
  return std::move(totaller).finish(matrix.distances.data());
}

}  // namespace nj
