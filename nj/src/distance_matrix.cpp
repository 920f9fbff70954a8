// SPDX-License-Identifier: MIT
#include "nj/distance_matrix.hpp"

#include <type_traits>

#include "nj/distance_workspace.hpp"
#include "nj/error.hpp"
#include "nj/nj.hpp"

namespace nj {

namespace {

bool is_transition(std::uint8_t a, std::uint8_t b) noexcept {
  // A=0, C=1, G=2, T=3: purine A<->G and pyrimidine C<->T differ by exactly 2.
  return a < 4 && b < 4 && (a ^ b) == 2;
}

}  // namespace

DistMat DistMat::zeros(std::vector<std::string> names) {
  DistMat matrix;
  const std::size_t n = names.size();
  matrix.distances.assign(n < 2 ? 0 : n * (n - 1) / 2, 0.0);
  matrix.names = std::move(names);
  return matrix;
}

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

template <Alphabet A>
DistMat DistMat::from_msa(const MSA<A>& msa, SubstitutionModel model,
                          const StopCheck& should_stop) {
  return DistanceWorkspace().from_msa(msa, model, should_stop);
}

template <Alphabet A>
DistMat DistMat::from_msa_plain(const MSA<A>& msa, SubstitutionModel model,
                                const StopCheck& should_stop) {
  require_model_suits<A>(model);
  DistMat matrix = zeros(msa.identifiers);
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

std::expected<std::unique_ptr<TreeNode>, std::string> neighbor_joining(
    DistMat matrix, const StopCheck& should_stop) {
  return run_fast(NJState(std::move(matrix)), should_stop);
}

std::expected<std::unique_ptr<TreeNode>, std::string> neighbor_joining_plain(
    DistMat matrix, const StopCheck& should_stop) {
  return run(NJState(std::move(matrix)), should_stop);
}

template SiteCounts count_sites<DNA>(std::span<const std::uint8_t>, std::span<const std::uint8_t>) noexcept;
template SiteCounts count_sites<Protein>(std::span<const std::uint8_t>,
                                         std::span<const std::uint8_t>) noexcept;
template bool model_suits<DNA>(SubstitutionModel) noexcept;
template bool model_suits<Protein>(SubstitutionModel) noexcept;
template void require_model_suits<DNA>(SubstitutionModel);
template void require_model_suits<Protein>(SubstitutionModel);
template DistMat DistMat::from_msa(const MSA<DNA>&, SubstitutionModel, const StopCheck&);
template DistMat DistMat::from_msa(const MSA<Protein>&, SubstitutionModel, const StopCheck&);
template DistMat DistMat::from_msa_plain(const MSA<DNA>&, SubstitutionModel, const StopCheck&);
template DistMat DistMat::from_msa_plain(const MSA<Protein>&, SubstitutionModel,
                                         const StopCheck&);

}  // namespace nj
