// SPDX-License-Identifier: MIT
#include "distance/skip_table.hpp"

#include <algorithm>
#include <bit>

#include "models.hpp"

namespace nj::kit::detail {

namespace {

// A slot (16 bytes) per 8 pairs at most, and 32 MiB at most; fewer slots
// than the minimum would serve so few pairs that computing costs no more.
constexpr std::size_t pairs_per_slot = 8;
constexpr std::size_t max_slots = std::size_t{1} << 21;
constexpr std::size_t min_slots = std::size_t{1} << 10;
constexpr std::uint64_t empty_key = ~std::uint64_t{0};

}  // namespace

SkipTable::SkipTable(SubstitutionModel model, std::uint64_t length, std::size_t pairs)
    : model_(model) {
  const std::size_t slots = std::bit_floor(std::min(pairs / pairs_per_slot, max_slots));
  if (length >= (std::uint64_t{1} << key_bits) || slots < min_slots) return;
  slots_.assign(slots, Slot{empty_key, 0.0});
  mask_ = slots - 1;
}

double SkipTable::compute(const nj::detail::SkipCounts& counts) const noexcept {
  const SiteCounts sites{counts.differences, counts.transitions,
                         counts.differences - counts.transitions, counts.compared};
  return distance_from_counts(model_, sites);
}

}  // namespace nj::kit::detail
