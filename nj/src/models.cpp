// SPDX-License-Identifier: MIT
#include "nj/models.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace nj {

namespace {
constexpr double infinity = std::numeric_limits<double>::infinity();
// The double nearest to -4/3; the product and the sum below round separately.
constexpr double minus_four_thirds = std::bit_cast<double>(std::uint64_t{0xBFF5555555555555});

double as_double(std::uint64_t count) noexcept { return static_cast<double>(count); }
}  // namespace

std::string_view model_name(SubstitutionModel model) noexcept {
  switch (model) {
    case SubstitutionModel::PDiff: return "PDiff";
    case SubstitutionModel::JukesCantor: return "JukesCantor";
    case SubstitutionModel::Kimura2P: return "Kimura2P";
    case SubstitutionModel::Poisson: return "Poisson";
  }
  return "";
}

double pdiff_distance(const SiteCounts& counts) noexcept {
  return as_double(counts.differences) / as_double(counts.columns);
}

double jukes_cantor_distance(const SiteCounts& counts) noexcept {
  const double p = as_double(counts.differences) / as_double(counts.columns);
  if (p >= 0.75) return infinity;
  return std::log(p * minus_four_thirds + 1.0) * -0.75;
}

double kimura2p_distance(const SiteCounts& counts) noexcept {
  const double columns = as_double(counts.columns);
  const double p = as_double(counts.transitions) / columns;
  const double q = as_double(counts.transversions) / columns;
  const double a = 1.0 - (q + q);
  if (a <= 0.0) return infinity;
  const double b = (1.0 - (p + p)) - q;
  if (b <= 0.0) return infinity;
  return std::log(b) * -0.5 + std::log(a) * -0.25;
}

double poisson_distance(const SiteCounts& counts) noexcept {
  const double p = as_double(counts.differences) / as_double(counts.columns);
  if (p >= 1.0) return infinity;
  return -std::log(1.0 - p);
}

}  // namespace nj
