// SPDX-License-Identifier: MIT
#include "engine/offsets.hpp"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <limits>

namespace nj::fast {

namespace {

// Distances and offsets stay below 2^500, so that c times them, and sums of
// a few such products, are far from overflowing.
constexpr double largest_usable = 0x1p500;

std::atomic<OffsetPolicy> offset_policy{OffsetPolicy::automatic};

/// Whether the largest of `values` lies more than their median above it,
/// the median being positive: a few row sums many times the usual ones.
bool far_above_median(std::vector<double> values) {
  if (values.empty()) return false;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  const double median = *middle;
  const double largest = *std::max_element(values.begin(), values.end());
  return median > 0.0 && largest - median > median;
}

}  // namespace

void set_offset_policy(OffsetPolicy policy) noexcept {
  offset_policy.store(policy, std::memory_order_relaxed);
}

bool offsets_may_help(const std::vector<double>& row_sums) {
  const OffsetPolicy policy = offset_policy.load(std::memory_order_relaxed);
  return policy == OffsetPolicy::always ||
         (policy == OffsetPolicy::automatic && far_above_median(row_sums));
}

Offsets choose_offsets(std::vector<double> lowest, double largest,
                       const std::vector<double>& row_sums) {
  const std::size_t n = lowest.size();
  Offsets offsets;
  offsets.of = std::move(lowest);
  double largest_offset = 0.0;
  for (const double a : offsets.of) largest_offset = std::max(largest_offset, std::fabs(a));
  const auto [least, most] = std::ranges::minmax(offsets.of);
  const bool helps = least < most && far_above_median(row_sums);
  const OffsetPolicy policy = offset_policy.load(std::memory_order_relaxed);
  offsets.on = n > 2 && largest < largest_usable &&
               (policy == OffsetPolicy::always || (policy == OffsetPolicy::automatic && helps));
  if (!offsets.on) {
    offsets.of.assign(n, 0.0);
    return offsets;
  }
  offsets.largest_distance = largest;
  offsets.largest_offset = largest_offset;
  return offsets;
}

bool Offsets::admit(std::size_t slot, double lowest, double highest) noexcept {
  of[slot] = lowest;
  largest_distance = std::max({largest_distance, std::fabs(lowest), std::fabs(highest)});
  largest_offset = std::max(largest_offset, std::fabs(lowest));
  return largest_distance < largest_usable;
}

// Every value a bound or a Q is made of is at most S = c (D + A) + 2 R + 2 R'
// in magnitude (D, A: the largest distance and offset; R, R': the largest
// row sum and shifted row sum), and each is one of at most ten roundings,
// each off by at most 2^-53 S. A margin of 2^-46 S covers them many times.
double rounding_margin(const Offsets& offsets, double c, double largest_sum,
                       double largest_shifted) noexcept {
  if (!offsets.on) return 0.0;
  const double scale = c * (offsets.largest_distance + offsets.largest_offset) +
                       2.0 * largest_sum + 2.0 * largest_shifted;
  return std::ldexp(scale, -46);
}

}  // namespace nj::fast
