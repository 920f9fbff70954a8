// SPDX-License-Identifier: MIT
// The pairwise distance matrix and its construction from an alignment.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "nj/models.hpp"
#include "msa.hpp"
#include "nj/stop.hpp"
#include "nj/tree.hpp"

namespace nj {

/// Position of the unordered pair (lo, hi), lo < hi, in the condensed strict
/// lower triangle: row hi starts at hi(hi-1)/2.
constexpr std::size_t pair_index(std::size_t lo, std::size_t hi) noexcept {
  return lo + hi * (hi - 1) / 2;
}

/// Names and the distance of every unordered pair of sequences, stored once
/// in the condensed strict lower triangle (n(n-1)/2 values, no diagonal).
struct DistMat {
  std::vector<double> distances;
  std::vector<std::string> names;

  /// The number of sequences.
  std::size_t size() const noexcept { return names.size(); }

  /// Distance of the unordered pair (a, b); 0.0 when a == b.
  double get(std::size_t a, std::size_t b) const noexcept {
    if (a == b) return 0.0;
    return a < b ? distances[pair_index(a, b)] : distances[pair_index(b, a)];
  }

  /// Overwrites the distance of the unordered pair (a, b), a != b.
  void set(std::size_t a, std::size_t b, double value) noexcept {
    distances[a < b ? pair_index(a, b) : pair_index(b, a)] = value;
  }

  /// An n x n matrix of zeros with these names.
  static DistMat zeros(std::vector<std::string> names);

  /// Distances under `model`, which must suit the alphabet (PDiff, JukesCantor,
  /// Kimura2P on DNA; PDiff, Poisson on Protein); any other pairing is an
  /// InternalError. Never fails otherwise: saturation gives infinity and an
  /// alignment without columns gives NaN. Counts 64 to 512 columns at a time
  /// on bit planes of the rows (see DistanceWorkspace, which also keeps its
  /// buffers between builds); when `should_stop` asks to stop, Cancelled is
  /// thrown.
  template <Alphabet A>
  static DistMat from_msa(const MSA<A>& msa, SubstitutionModel model,
                          const StopCheck& should_stop = {});

  /// The same values, bit for bit, counted one column at a time with
  /// count_sites: the reference that from_msa is checked against.
  template <Alphabet A>
  static DistMat from_msa_plain(const MSA<A>& msa, SubstitutionModel model,
                                const StopCheck& should_stop = {});
};

/// Site counts of two rows, one column at a time.
template <Alphabet A>
SiteCounts count_sites(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

/// The distance of one pair of rows under `model`, from its site counts.
double distance_from_counts(SubstitutionModel model, const SiteCounts& counts) noexcept;

/// Whether `model` is defined on alphabet A.
template <Alphabet A>
bool model_suits(SubstitutionModel model) noexcept;

/// InternalError naming the model unless model_suits<A>(model).
template <Alphabet A>
void require_model_suits(SubstitutionModel model);

/// Builds the Neighbor-Joining tree of the matrix, which it consumes. The
/// error texts ("Empty distance matrix" and two that a correct engine never
/// reaches) are returned, not thrown. `should_stop` is polled every few
/// milliseconds of work; when it asks to stop, Cancelled is thrown. This is
/// the fast engine; its trees are those of neighbor_joining_plain.
std::expected<std::unique_ptr<TreeNode>, std::string> neighbor_joining(
    DistMat matrix, const StopCheck& should_stop = {});

/// The same as neighbor_joining with the plain engine, which scans every
/// live pair at every step: the reference the fast engine is held to.
std::expected<std::unique_ptr<TreeNode>, std::string> neighbor_joining_plain(
    DistMat matrix, const StopCheck& should_stop = {});

extern template DistMat DistMat::from_msa(const MSA<DNA>&, SubstitutionModel, const StopCheck&);
extern template DistMat DistMat::from_msa(const MSA<Protein>&, SubstitutionModel,
                                          const StopCheck&);
extern template DistMat DistMat::from_msa_plain(const MSA<DNA>&, SubstitutionModel,
                                                const StopCheck&);
extern template DistMat DistMat::from_msa_plain(const MSA<Protein>&, SubstitutionModel,
                                                const StopCheck&);

}  // namespace nj
