// SPDX-License-Identifier: MIT
// The pairwise distance matrix: names and the condensed lower triangle.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace nj {

/// Position of the unordered pair (lo, hi), lo < hi, in the condensed strict
/// lower triangle: row hi starts at hi(hi-1)/2.
constexpr std::size_t pair_index(std::size_t lo, std::size_t hi) noexcept {
  return lo + hi * (hi - 1) / 2;
}

/// The number of unordered pairs of n sequences, n(n-1)/2.
constexpr std::size_t pair_count(std::size_t n) noexcept { return n < 2 ? 0 : pair_index(0, n); }

/// Names and the distance of every unordered pair of sequences, stored once
/// in the condensed strict lower triangle (n(n-1)/2 values, no diagonal).
struct DistMat {
  std::vector<double> distances;
  std::vector<std::string> names;

  /// The number of sequences.
  std::size_t size() const noexcept { return names.size(); }

  /// Distance of the unordered pair (a, b); 0.0 when a == b.
  double get(std::size_t a, std::size_t b) const noexcept {
    if (a == b) return 0.0;
    return a < b ? distances[pair_index(a, b)] : distances[pair_index(b, a)];
  }

  /// Overwrites the distance of the unordered pair (a, b), a != b.
  void set(std::size_t a, std::size_t b, double value) noexcept {
    distances[a < b ? pair_index(a, b) : pair_index(b, a)] = value;
  }

  /// An n x n matrix of zeros with these names.
  static DistMat zeros(std::vector<std::string> names) {
    DistMat matrix;
    matrix.distances.assign(pair_count(names.size()), 0.0);
    matrix.names = std::move(names);
    return matrix;
  }
};

}  // namespace nj
