// SPDX-License-Identifier: MIT
#include "nj/lib.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "clade.hpp"
#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "engine/neighbor_joining.hpp"
#include "message_text.hpp"
#include "models.hpp"
#include "msa.hpp"
#include "nj/error.hpp"

namespace nj {

namespace {

// Nucleotide unless some byte of some sequence is not a nucleotide symbol;
// all-empty sequences are nucleotide.
bool looks_like_dna(const std::vector<SequenceObject>& msa) noexcept {
  return std::ranges::all_of(msa, [](const SequenceObject& s) {
    return is_nucleotide_text(s.sequence);
  });
}

std::vector<SequencePair> take_pairs(std::vector<SequenceObject>& msa) {
  std::vector<SequencePair> pairs;
  pairs.reserve(msa.size());
  for (SequenceObject& s : msa) pairs.emplace_back(std::move(s.identifier), std::move(s.sequence));
  std::vector<SequenceObject>().swap(msa);
  return pairs;
}

template <Alphabet A>
std::optional<std::string> model_refusal(SubstitutionModel model) {
  if (model_suits<A>(model)) return std::nullopt;
  if constexpr (std::is_same_v<A, DNA>) {
    return "Poisson is a protein model; cannot use with DNA";
  } else {
    return "Selected model is for DNA; cannot use with Protein";
  }
}

void stop_if_asked(const StopCheck& should_stop) {
  if (should_stop && should_stop()) throw Cancelled();
}

// Adds the clades of `replicates` bootstrap trees to `counts`, reporting
// progress after each. A replicate's matrix is built straight from the
// alignment and the replicate's column draw (the resampled alignment itself
// is never materialised), and only one replicate's matrix and tree exist at
// a time.
template <Alphabet A>
std::expected<void, std::string> count_replicate_clades(const MSA<A>& msa, SubstitutionModel model,
                                                        std::uint64_t replicates,
                                                        DistanceWorkspace& workspace,
                                                        CladeCounts& counts,
                                                        const ProgressFn& on_progress,
                                                        const StopCheck& should_stop) {
  for (std::uint64_t j = 1; j <= replicates; ++j) {
    stop_if_asked(should_stop);
    auto columns = bootstrap_columns(msa.length);
    if (!columns) return std::unexpected(std::move(columns.error()));
    RowTotals totals;
    DistMat matrix = workspace.from_resampled(msa, *columns, model, should_stop, &totals);
    auto tree = neighbor_joining_with_totals(std::move(matrix), std::move(totals), should_stop);
    if (!tree) internal_failure("NJ bootstrap iteration failed: " + quote_escaped(tree.error()));
    if (auto counted = count_clades(**tree, msa.sequence_count, counts); !counted) {
      return std::unexpected(std::move(counted.error()));
    }
    if (on_progress) on_progress(j, replicates);
  }
  return {};
}

template <Alphabet A>
std::expected<std::string, std::string> run_alignment(MSA<A> msa, SubstitutionModel model,
                                                      std::uint64_t replicates,
                                                      const ProgressFn& on_progress,
                                                      const StopCheck& should_stop) {
  if (auto refusal = model_refusal<A>(model)) return std::unexpected(std::move(*refusal));
  DistanceWorkspace workspace;
  CladeCounts counts;
  if (replicates > 0) {
    auto counted = count_replicate_clades(msa, model, replicates, workspace, counts,
                                          on_progress, should_stop);
    if (!counted) return std::unexpected(std::move(counted.error()));
  }
  stop_if_asked(should_stop);
  const std::uint64_t n = msa.sequence_count;
  RowTotals totals;
  DistMat matrix = workspace.from_msa(msa, model, should_stop, &totals);
  msa = MSA<A>{};
  workspace = DistanceWorkspace{};  // the engine needs the memory more
  auto tree = neighbor_joining_with_totals(std::move(matrix), std::move(totals), should_stop);
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (replicates > 0) add_bootstrap_to_tree(**tree, n, counts);
  return to_newick(**tree);
}

}  // namespace

std::expected<std::string, std::string> nj(NJConfig config, const ProgressFn& on_progress,
                                           const StopCheck& should_stop) {
  if (config.msa.empty()) return std::unexpected(std::string("Input MSA is empty"));
  const bool dna = looks_like_dna(config.msa);
  std::vector<SequencePair> pairs = take_pairs(config.msa);
  // The alignment is built before the model is checked, so unequal lengths
  // fail first even when the model would be refused too.
  if (dna) {
    return run_alignment(MSA<DNA>::from_iter(std::move(pairs)), config.substitution_model,
                         config.n_bootstrap_samples, on_progress, should_stop);
  }
  return run_alignment(MSA<Protein>::from_iter(std::move(pairs)), config.substitution_model,
                       config.n_bootstrap_samples, on_progress, should_stop);
}

}  // namespace nj
