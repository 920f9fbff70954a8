// SPDX-License-Identifier: MIT
// Skip-rule distances by their counts, each computed once and then looked up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "distance/skip_kernels.hpp"
#include "nj/config.hpp"

namespace nj::kit::detail {

/// A cache of distances keyed by (columns compared, differences,
/// transitions): most pairs share their counts with many others, and the
/// logarithms cost far more than a lookup. A slot is filled with the
/// formula's value for its very counts, so a lookup gives the formula's bits.
class SkipTable {
 public:
  SkipTable(SubstitutionModel model, std::uint64_t length, std::size_t pairs);

  double distance(const nj::detail::SkipCounts& counts) noexcept {
    if (slots_.empty()) return compute(counts);
    const std::uint64_t d = counts.differences;
    const std::uint64_t key = counts.compared | (d << key_bits) | (counts.transitions << (2 * key_bits));
    // Counts (d, t) numbered row by row of their triangle, so that pairs of
    // the same number of columns compared, most pairs in most alignments,
    // fill neighbouring slots.
    const std::uint64_t near = d * (d + 1) / 2 + counts.transitions + counts.compared * 0x9E3779B1;
    Slot& slot = slots_[near & mask_];
    if (slot.key != key) [[unlikely]] slot = {key, compute(counts)};
    return slot.value;
  }

  /// The model's formula, with the columns compared as the length.
  double compute(const nj::detail::SkipCounts& counts) const noexcept;

 private:
  static constexpr unsigned key_bits = 21;  // counts of rows up to 2^21 - 1 columns

  struct Slot {
    std::uint64_t key;
    double value;
  };

  std::vector<Slot> slots_;  // none: every distance is computed
  std::uint64_t mask_ = 0;
  SubstitutionModel model_;
};

}  // namespace nj::kit::detail
