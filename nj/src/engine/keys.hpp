// SPDX-License-Identifier: MIT
// The keys of the fast engine's rows: each distance of a row as a 16-bit key
// that decodes to a value no greater than the distance, and the bucket (the
// partner's row-sum bin, then the key's top bits) that orders the row.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace nj::fast {

using Key = std::uint16_t;

inline constexpr double infinity = std::numeric_limits<double>::infinity();

/// Maps the distances of one row to 16-bit keys, monotonically, so that the
/// key of a distance decodes to a value no greater than that distance. The
/// step is a power of two and the offset an integer number of steps, so
/// decode(k) = (offset + k) * step is exact, and the key of v is the largest
/// k (within the key range) with decode(k) <= v.
class KeyScale {
 public:
  KeyScale() = default;

  /// A scale whose keys spread over the finite range [lowest, highest].
  KeyScale(double lowest, double highest) {
    const double largest = std::max(std::fabs(lowest), std::fabs(highest));
    // The finest step that still covers the range with the keys, yet keeps
    // every value below 2^40 steps and every step a normal number.
    const double wanted = std::max(highest / key_count - lowest / key_count,
                                   std::ldexp(largest, -40));
    const double usable = std::max(wanted, std::numeric_limits<double>::min());
    const int exponent =
        std::max(std::ilogb(usable) + 1, std::numeric_limits<double>::min_exponent - 1);
    step_ = std::ldexp(1.0, exponent);
    inverse_ = std::ldexp(1.0, -exponent);
    offset_ = std::floor(lowest * inverse_);
  }

  double decode(Key key) const noexcept { return (offset_ + static_cast<double>(key)) * step_; }

  /// Keys of `count` values, and their buckets (bucket_of) with the bins
  /// `bin_of[partners[p]]`; the values must lie in the scale's range.
  void encode(const double* values, const std::uint32_t* partners, const std::uint8_t* bin_of,
              std::size_t count, unsigned shift, Key* keys,
              std::uint16_t* buckets) const noexcept;

 private:
  static constexpr double key_count = 65536.0;
  double step_ = 1.0;
  double inverse_ = 1.0;
  double offset_ = 0.0;
};

/// The bucket of an entry: its bin, then the top bits of its key.
inline std::uint16_t bucket_of(std::uint32_t bin, Key key, unsigned shift) noexcept {
  return static_cast<std::uint16_t>(((bin << 16) | key) >> shift);
}

/// The smallest and the largest of `count` values, in eight lanes at once;
/// with `lowered`, also lowers each lowered[p] to values[p] where that is
/// smaller, in the same pass. Between zeros of both signs either may come
/// out of the range, which a key scale does not mind.
void value_range(const double* values, std::size_t count, double* lowest, double* highest,
                 double* lowered = nullptr);

}  // namespace nj::fast
