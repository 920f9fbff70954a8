// SPDX-License-Identifier: MIT
// The substitution models: the per-pair formulas from site counts to a
// distance, each in one fixed order of floating-point operations, and which
// alphabet each is defined on.
#pragma once

#include <cstdint>

#include "alphabet.hpp"
#include "nj/config.hpp"

namespace nj {

/// What one pass over two rows counts. Columns where either row has a gap
/// are skipped but stay in `columns`.
struct SiteCounts {
  std::uint64_t differences = 0;
  std::uint64_t transitions = 0;    // A<->G, C<->T (DNA only)
  std::uint64_t transversions = 0;  // every other difference (DNA only)
  std::uint64_t columns = 0;        // L, the full alignment length
};

/// D / L.
double pdiff_distance(const SiteCounts& counts) noexcept;
/// -0.75 ln(1 - 4/3 p), infinite from p = 0.75 on.
double jukes_cantor_distance(const SiteCounts& counts) noexcept;
/// -0.5 ln(1 - 2P - Q) - 0.25 ln(1 - 2Q), infinite when either argument is <= 0.
double kimura2p_distance(const SiteCounts& counts) noexcept;
/// -ln(1 - p), infinite from p = 1 on.
double poisson_distance(const SiteCounts& counts) noexcept;

/// The distance of one pair of rows under `model`, from its site counts.
double distance_from_counts(SubstitutionModel model, const SiteCounts& counts) noexcept;

/// Whether `model` is defined on alphabet A: PDiff, JukesCantor and Kimura2P
/// on DNA; PDiff and Poisson on protein.
template <Alphabet A>
bool model_suits(SubstitutionModel model) noexcept;

/// InternalError naming the model unless model_suits<A>(model).
template <Alphabet A>
void require_model_suits(SubstitutionModel model);

}  // namespace nj
