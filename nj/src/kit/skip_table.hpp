// SPDX-License-Identifier: MIT
// Skip-rule distances by their counts, each computed once and then looked up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nj/config.hpp"
#include "skip_kernels.hpp"

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
    const std::uint64_t key = counts.compared | (counts.differences << key_bits) |
                              (counts.transitions << (2 * key_bits));
    Slot& slot = slots_[(key * 0x9E3779B97F4A7C15) >> shift_];
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
  unsigned shift_ = 64;
  SubstitutionModel model_;
};

}  // namespace nj::kit::detail
