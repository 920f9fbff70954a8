// SPDX-License-Identifier: MIT
#include "models.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "nj/error.hpp"

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

double distance_from_counts(SubstitutionModel model, const SiteCounts& counts) noexcept {
  switch (model) {
    case SubstitutionModel::PDiff: return pdiff_distance(counts);
    case SubstitutionModel::JukesCantor: return jukes_cantor_distance(counts);
    case SubstitutionModel::Kimura2P: return kimura2p_distance(counts);
    case SubstitutionModel::Poisson: return poisson_distance(counts);
  }
  return 0.0;
}

template <Alphabet A>
bool model_suits(SubstitutionModel model) noexcept {
  if constexpr (std::is_same_v<A, DNA>) {
    return model != SubstitutionModel::Poisson;
  } else {
    return model == SubstitutionModel::PDiff || model == SubstitutionModel::Poisson;
  }
}

template <Alphabet A>
void require_model_suits(SubstitutionModel model) {
  if (!model_suits<A>(model)) {
    internal_failure(fill("the {} model is not defined on this alphabet", model_name(model)));
  }
}

template bool model_suits<DNA>(SubstitutionModel) noexcept;
template bool model_suits<Protein>(SubstitutionModel) noexcept;
template void require_model_suits<DNA>(SubstitutionModel);
template void require_model_suits<Protein>(SubstitutionModel);

}  // namespace nj
