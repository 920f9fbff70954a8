// SPDX-License-Identifier: MIT
#include "distance/plain.hpp"

#include <type_traits>

namespace nj {

namespace {

bool is_transition(std::uint8_t a, std::uint8_t b) noexcept {
  // A=0, C=1, G=2, T=3: purine A<->G and pyrimidine C<->T differ by exactly 2.
  return a < 4 && b < 4 && (a ^ b) == 2;
}

}  // namespace

template <Alphabet A>
SiteCounts count_sites(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
  SiteCounts counts;
  counts.columns = a.size();
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k] == A::gap || b[k] == A::gap || a[k] == b[k]) continue;
    ++counts.differences;
    if constexpr (std::is_same_v<A, DNA>) {
      if (is_transition(a[k], b[k])) {
        ++counts.transitions;
      } else {
        ++counts.transversions;
      }
    }
  }
  return counts;
}

template <Alphabet A>
DistMat plain_distances(const MSA<A>& msa, SubstitutionModel model, const StopCheck& should_stop) {
  require_model_suits<A>(model);
  DistMat matrix = DistMat::zeros(msa.identifiers);
  StopPoller poller(should_stop);
  const std::size_t n = msa.identifiers.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      matrix.set(i, j, distance_from_counts(model, count_sites<A>(msa.row(i), msa.row(j))));
    }
    poller.spend(i * (msa.length + 1));
  }
  return matrix;
}

template SiteCounts count_sites<DNA>(std::span<const std::uint8_t>, std::span<const std::uint8_t>) noexcept;
template SiteCounts count_sites<Protein>(std::span<const std::uint8_t>,
                                         std::span<const std::uint8_t>) noexcept;
template DistMat plain_distances(const MSA<DNA>&, SubstitutionModel, const StopCheck&);
template DistMat plain_distances(const MSA<Protein>&, SubstitutionModel, const StopCheck&);

}  // namespace nj
