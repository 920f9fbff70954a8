// SPDX-License-Identifier: MIT
// Distances by site count, each computed once and then looked up: pairs of
// rows mostly share their counts with many other pairs, and the logarithms
// of the models cost far more than a lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "distance/kernels.hpp"
#include "models.hpp"

namespace nj::detail {

/// How a build of `pairs` distances would use the table.
struct TablePlan {
  std::size_t slots = 0;  // 0: every distance is computed
  bool dense = false;     // a slot for every possible count, so nothing is evicted
};

/// Slots for the counts of a build: one per possible count while that fits
/// the budget (a fixed cap, and a quarter of the matrix's bytes), else a
/// power of two of them, shared by the counts that agree in their low bits;
/// none when that would be too small to be worth it.
TablePlan plan_table(SubstitutionModel model, std::uint64_t length, std::size_t pairs) noexcept;

/// A cache of distances keyed by the counts they are computed from: by the
/// difference count for the models that read only that (and the length),
/// by difference and transition count for Kimura2P. A slot is filled on the
/// first lookup of its count with distance_from_counts of that very count,
/// so a lookup gives the formula's bits, NaN and negative zero included.
/// The filled slots are kept for the next build of the same model, length
/// and plan, as bootstrap replicates are.
class DistanceTable {
 public:
  /// Readies the table for a build; returns whether lookups serve it.
  bool prepare(SubstitutionModel model, std::uint64_t length, std::size_t pairs);

  /// The distances of pairs with these counts, into `out` (as many);
  /// only after prepare said yes.
  void look_up(std::span<const PairCounts> counts, double* out);

 private:
  struct Slot {
    std::uint64_t key;
    double value;
  };

  // Counts (d, t) with t <= d are numbered row by row of that triangle.
  static std::uint64_t key_of(const PairCounts& counts, bool by_transitions) noexcept {
    const std::uint64_t d = counts.differences;
    return by_transitions ? d * (d + 1) / 2 + counts.transitions : d;
  }

  bool dense() const noexcept { return mask_ == ~std::uint64_t{0}; }
  double compute(const PairCounts& counts) const;
  void look_up_dense(std::span<const PairCounts> counts, double* out);
  void look_up_shared(std::span<const PairCounts> counts, double* out);
  std::size_t look_up_by_transitions_avx512(std::span<const PairCounts> counts,
                                            double* out) const;

  // A dense table needs no keys: its slots hold only the values, so that
  // twice as many share a cache line. Each holds its value's bits less
  // (exclusive or) those of a marker that no computed distance has, so
  // that an empty slot is zero: the table lies in fresh anonymous memory,
  // and only the pages of the counts a build meets are ever backed (a few
  // hundred of the thousand pages of a Kimura2P table at L = 1,000).
  struct Unmap {
    std::size_t bytes;
    void operator()(std::uint64_t* words) const noexcept;
  };
  std::unique_ptr<std::uint64_t[], Unmap> values_{nullptr, Unmap{0}};  // when dense
  std::size_t value_count() const noexcept {
    return values_.get_deleter().bytes / sizeof(std::uint64_t);
  }
  std::vector<Slot> slots_;     // when shared
  std::uint64_t mask_ = 0;      // all ones when dense
  std::uint64_t length_ = 0;
  SubstitutionModel model_{};
  bool by_transitions_ = false;
  bool gather_ = false;  // dense, on a processor with AVX-512
};

}  // namespace nj::detail
