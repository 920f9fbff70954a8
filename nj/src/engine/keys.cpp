// SPDX-License-Identifier: MIT
#include "engine/keys.hpp"

#include <cstdint>
#include <cstring>

#include "simd.hpp"

namespace nj::fast {

namespace {

using detail::WideLanes;

// v * inverse - offset is off from the exact quotient by far less than one
// (every value lies below 2^40 steps), so its truncation is the key or one
// above it; the exact decode tells which.
inline Key encode_one(double v, double step, double inverse, double offset) noexcept {
  double k = v * inverse - offset;
  k = k < 65535.0 ? k : 65535.0;
  k = k > 0.0 ? k : 0.0;
  auto key = static_cast<std::int32_t>(k);
  if ((offset + static_cast<double>(key)) * step > v) --key;
  return static_cast<Key>(key);
}

/// The keys of `count` values, and the bucket of each value with the bin
/// `bin_of[partners[p]]`. Every written row passes here, eight values at a
/// time: with AVX-512 that is one vector, and a third less time than four.
NJ_TARGET_CLONES_AVX512 void encode_buckets(const double* values, const std::uint32_t* partners,
                                            const std::uint8_t* bin_of, std::size_t count,
                                            double step, double inverse, double offset,
                                            unsigned shift, Key* keys, std::uint16_t* buckets) {
  using Ints = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));
  using Shorts = std::uint16_t __attribute__((vector_size(8 * sizeof(std::uint16_t))));
  const WideLanes top = {65535.0, 65535.0, 65535.0, 65535.0, 65535.0, 65535.0, 65535.0, 65535.0};
  const WideLanes zero = {};
  std::size_t p = 0;
  for (; p + 8 <= count; p += 8) {
    WideLanes v;
    std::memcpy(&v, values + p, sizeof v);
    WideLanes k = v * inverse - offset;
    k = k < top ? k : top;
    k = k > zero ? k : zero;
    const WideLanes whole = __builtin_convertvector(__builtin_convertvector(k, Ints), WideLanes);
    const WideLanes decoded = (offset + whole) * step;
    const WideLanes key = v < decoded ? whole - 1.0 : whole;
    const Ints integral = __builtin_convertvector(key, Ints);
    const Ints bin = {bin_of[partners[p]],     bin_of[partners[p + 1]], bin_of[partners[p + 2]],
                      bin_of[partners[p + 3]], bin_of[partners[p + 4]], bin_of[partners[p + 5]],
                      bin_of[partners[p + 6]], bin_of[partners[p + 7]]};
    const Ints bucket = ((bin << 16) | integral) >> static_cast<int>(shift);
    const Shorts key_out = __builtin_convertvector(integral, Shorts);
    const Shorts bucket_out = __builtin_convertvector(bucket, Shorts);
    std::memcpy(keys + p, &key_out, sizeof key_out);
    std::memcpy(buckets + p, &bucket_out, sizeof bucket_out);
  }
  for (; p < count; ++p) {
    keys[p] = encode_one(values[p], step, inverse, offset);
    buckets[p] = bucket_of(bin_of[partners[p]], keys[p], shift);
  }
}

/// value_range's one pass, with or without lowering.
template <bool lowering>
__attribute__((always_inline)) inline void range_of(const double* values, std::size_t count,
                                                    double* lowest, double* highest,
                                                    double* __restrict lowered) {
  WideLanes low = {infinity, infinity, infinity, infinity, infinity, infinity, infinity, infinity};
  WideLanes high = -low;
  std::size_t p = 0;
  for (; p + 8 <= count; p += 8) {
    WideLanes v;
    std::memcpy(&v, values + p, sizeof v);
    low = v < low ? v : low;
    high = v > high ? v : high;
    if constexpr (lowering) {
      WideLanes l;
      std::memcpy(&l, lowered + p, sizeof l);
      l = v < l ? v : l;
      std::memcpy(lowered + p, &l, sizeof l);
    }
  }
  double lo = infinity;
  double hi = -infinity;
  for (std::size_t lane = 0; lane < 8; ++lane) {
    lo = low[lane] < lo ? low[lane] : lo;
    hi = high[lane] > hi ? high[lane] : hi;
  }
  for (; p < count; ++p) {
    lo = values[p] < lo ? values[p] : lo;
    hi = values[p] > hi ? values[p] : hi;
    if constexpr (lowering) lowered[p] = values[p] < lowered[p] ? values[p] : lowered[p];
  }
  *lowest = lo;
  *highest = hi;
}

}  // namespace

NJ_TARGET_CLONES_AVX512 void value_range(const double* values, std::size_t count,
                                         double* lowest, double* highest, double* lowered) {
  if (lowered != nullptr) {
    range_of<true>(values, count, lowest, highest, lowered);
  } else {
    range_of<false>(values, count, lowest, highest, nullptr);
  }
}

void KeyScale::encode(const double* values, const std::uint32_t* partners,
                      const std::uint8_t* bin_of, std::size_t count, unsigned shift, Key* keys,
                      std::uint16_t* buckets) const noexcept {
  encode_buckets(values, partners, bin_of, count, step_, inverse_, offset_, shift, keys, buckets);
}

}  // namespace nj::fast
