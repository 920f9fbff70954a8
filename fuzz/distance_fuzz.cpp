// SPDX-License-Identifier: MIT
// Fuzzes the bit-plane distance construction, and the one from a reference
// row, against the column-by-column one: for an alignment and a column draw
// made from the input, every instruction-set level the processor has must
// give the same matrix, bit for bit, for the alignment and for its
// resample, also when one workspace serves several builds in a row.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "distance/kernels.hpp"
#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "distance/reference_rows.hpp"
#include "distance/workspace.hpp"
#include "fuzz_checks.hpp"
#include "msa.hpp"

namespace {

using nj::SubstitutionModel;
using nj::fuzz::check;

// Residues of both cases, gaps, unknown symbols and non-ASCII bytes.
constexpr std::string_view dna_symbols = "ACGTacgtNnU-?.*X\xC3\xA9";
constexpr std::string_view protein_symbols = "ARNDCQEGHILKMFPSTWYVarndBXZ-*?.\xC3\xA9\xFF";

// Rows are long (up to a few blocks of 512 columns) while inputs stay short:
// each row is an earlier row, or a base row, with changes at positions that
// a small generator draws; the input chooses the generator's seed and rates.
struct RowMaker {
  std::uint64_t state;
  std::uint64_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  }
  std::size_t below(std::size_t bound) { return bound == 0 ? 0 : next() % bound; }
};

template <nj::Alphabet A>
nj::MSA<A> make_msa(FuzzedDataProvider& data, std::string_view symbols) {
  const auto n = data.ConsumeIntegralInRange<std::size_t>(1, 14);
  const auto length = data.ConsumeIntegralInRange<std::size_t>(0, 1600);
  const auto change_per_mille = data.ConsumeIntegralInRange<std::size_t>(0, 1000);
  RowMaker maker{data.ConsumeIntegral<std::uint64_t>()};
  std::vector<nj::SequencePair> pairs;
  for (std::size_t k = 0; k < n; ++k) {
    std::string text;
    if (k > 0 && data.ConsumeBool()) {
      text = pairs[data.ConsumeIntegralInRange<std::size_t>(0, k - 1)].second;
    } else {
      text.assign(length, symbols[data.ConsumeIntegralInRange<std::size_t>(0, symbols.size() - 1)]);
    }
    for (char& c : text) {
      if (maker.below(1000) < change_per_mille) c = symbols[maker.below(symbols.size())];
    }
    pairs.emplace_back("s" + std::to_string(k), std::move(text));
  }
  return nj::MSA<A>::from_iter(std::move(pairs));
}

template <nj::Alphabet A>
nj::MSA<A> resample(const nj::MSA<A>& msa, const std::vector<std::uint64_t>& columns) {
  nj::MSA<A> out;
  for (std::size_t k = 0; k < msa.sequence_count; ++k) {
    std::vector<std::uint8_t> row;
    for (const std::uint64_t c : columns) row.push_back(msa.sequences[k][c]);
    check(out.add_row(msa.identifiers[k], std::move(row)).has_value(), "rows of equal length");
  }
  return out;
}

void check_same(const nj::DistMat& fast, const nj::DistMat& plain, nj::detail::SimdLevel level) {
  check(fast.names == plain.names, "the same names");
  check(fast.distances.size() == plain.distances.size(), "the same number of distances");
  for (std::size_t k = 0; k < plain.distances.size(); ++k) {
    if (std::bit_cast<std::uint64_t>(fast.distances[k]) != std::bit_cast<std::uint64_t>(plain.distances[k])) {
      nj::fuzz::check_failed("distances equal bit for bit", nj::detail::simd_level_name(level));
    }
  }
}

template <nj::Alphabet A>
void fuzz(FuzzedDataProvider& data, std::string_view symbols, std::span<const SubstitutionModel> models) {
  const SubstitutionModel model = models[data.ConsumeIntegralInRange<std::size_t>(0, models.size() - 1)];
  const nj::MSA<A> msa = make_msa<A>(data, symbols);
  std::vector<std::uint64_t> columns;
  if (msa.length > 0) {
    RowMaker maker{data.ConsumeIntegral<std::uint64_t>()};
    columns.resize(msa.length);
    for (std::uint64_t& c : columns) c = maker.below(msa.length);
  }
  const nj::DistMat plain = nj::plain_distances(msa, model);
  const nj::DistMat plain_resampled = nj::plain_distances(resample(msa, columns), model);
  for (const nj::detail::SimdLevel level : nj::detail::supported_simd_levels()) {
    // As chosen for the alignment, and from a reference row whatever the rows.
    for (const auto path :
         {nj::detail::CountingPath::automatic, nj::detail::CountingPath::reference}) {
      nj::DistanceWorkspace workspace(level);
      workspace.set_counting_path(path);
      check_same(workspace.from_resampled(msa, columns, model), plain_resampled, level);
      check_same(workspace.from_msa(msa, model), plain, level);
      check_same(workspace.from_resampled(msa, columns, model), plain_resampled, level);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    constexpr std::array models = {SubstitutionModel::PDiff, SubstitutionModel::JukesCantor,
                                   SubstitutionModel::Kimura2P};
    fuzz<nj::DNA>(data, dna_symbols, models);
  } else {
    constexpr std::array models = {SubstitutionModel::PDiff, SubstitutionModel::Poisson};
    fuzz<nj::Protein>(data, protein_symbols, models);
  }
  return 0;
}
