// SPDX-License-Identifier: MIT
// The inputs on which the fast engine is held to the plain one, shared by
// the differential test and the benchmark that times both engines on them:
// tie-prone alignments, direct matrices with ties, zeros of both signs,
// infinities, NaN and overflowing values, near-identical genomes and stars.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "evolved_alignment.hpp"
#include "msa.hpp"

namespace nj::testing {

inline std::vector<std::string> names_for(std::size_t n) {
  std::vector<std::string> names;
  for (std::size_t s = 0; s < n; ++s) names.push_back("s" + std::to_string(s));
  return names;
}

// Alignments that make ties: few columns, few letters, repeated rows.
template <Alphabet A>
MSA<A> tie_prone_alignment(std::mt19937_64& rng, std::size_t n, std::size_t length,
                           const std::string& letters) {
  std::uniform_int_distribution<std::size_t> letter(0, letters.size() - 1);
  std::bernoulli_distribution repeat(0.3);
  MSA<A> msa;
  std::vector<std::uint8_t> previous;
  for (std::size_t s = 0; s < n; ++s) {
    std::string text(length, ' ');
    for (char& c : text) c = letters[letter(rng)];
    std::vector<std::uint8_t> row = encode<A>(text);
    if (s > 0 && repeat(rng)) {
      row = msa.sequences[std::uniform_int_distribution<std::size_t>(0, s - 1)(rng)];
    }
    (void)msa.add_row("s" + std::to_string(s), std::move(row));
  }
  return msa;
}

inline DistMat alignment_matrix(std::mt19937_64& rng, std::size_t n) {
  const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 12)(rng);
  const std::size_t kind = std::uniform_int_distribution<std::size_t>(0, 4)(rng);
  static const std::vector<std::string> dna_letters = {"AC", "AG", "ACGT", "ACGTN-", "A-"};
  static const std::vector<std::string> protein_letters = {"AR", "ARNDW", "ARX-",
                                                           "ACDEFGHIKLMNPQRSTVWY"};
  if (kind < 3) {
    const std::string& letters = dna_letters[rng() % dna_letters.size()];
    const auto model = static_cast<SubstitutionModel>(kind);  // PDiff, JukesCantor, Kimura2P
    return DistanceWorkspace().from_msa(tie_prone_alignment<DNA>(rng, n, length, letters), model);
  }
  const std::string& letters = protein_letters[rng() % protein_letters.size()];
  const SubstitutionModel model = kind == 3 ? SubstitutionModel::PDiff : SubstitutionModel::Poisson;
  return DistanceWorkspace().from_msa(tie_prone_alignment<Protein>(rng, n, length, letters), model);
}

// Direct matrices: small sets of values (many ties, zeros of both signs,
// negative values), continuous values, the non-finite cases, huge values
// whose products and sums overflow (Q of -infinity, ties among them, sums
// that overflow part way through a run), and a few huge values among small.
inline DistMat direct_matrix(std::mt19937_64& rng, std::size_t n) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  DistMat matrix = DistMat::zeros(names_for(n));
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const std::size_t kind = std::uniform_int_distribution<std::size_t>(0, 8)(rng);
  static const std::vector<double> small_set = {0.0, -0.0, 0.25, 0.5, 1.0, 1.0, 2.0, 3.0};
  static const std::vector<double> signed_set = {-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 2.0, 4.0};
  for (double& d : matrix.distances) {
    switch (kind) {
      case 0: d = small_set[rng() % small_set.size()]; break;
      case 1: d = signed_set[rng() % signed_set.size()]; break;
      case 2: d = std::round(uniform(rng) * 8.0) / 8.0; break;
      case 3: d = uniform(rng); break;
      case 4: d = uniform(rng) < 0.02 ? (uniform(rng) < 0.5 ? inf : nan) : uniform(rng); break;
      case 5: d = (uniform(rng) < 0.5 ? -1.0 : 1.0) * 0x1p1020 * (1.0 + uniform(rng)); break;
      case 6:
        d = (uniform(rng) < 0.8 ? -1.0 : 1.0) * 0x1p1019 * std::round(1.0 + 3.0 * uniform(rng));
        break;
      case 7: d = uniform(rng) < 0.1 ? 0x1p1000 * uniform(rng) : uniform(rng); break;
      default: d = 1.0; break;
    }
  }
  return matrix;
}

// Near-identical genomes as surveillance produces them: a few changes
// from a common ancestor over many columns, a third of the rows copies of
// another row, runs of unknown bases in half of them.
inline MSA<DNA> outbreak_alignment(std::mt19937_64& rng, std::size_t n, std::size_t length) {
  const std::size_t distinct = n - n / 3;
  EvolvedAlignment evolved =
      evolve_dna(distinct, length, rng(), 15.0 / static_cast<double>(length));
  std::uniform_int_distribution<std::size_t> row(0, distinct - 1);
  std::uniform_int_distribution<std::size_t> column(0, length - 1);
  for (auto& codes : evolved.rows) {
    if (rng() % 2 == 0) continue;
    const std::size_t start = column(rng);
    std::fill(codes.begin() + static_cast<std::ptrdiff_t>(start),
              codes.begin() + static_cast<std::ptrdiff_t>(std::min(length, start + length / 20)),
              DNA::unknown);
  }
  while (evolved.rows.size() < n) {
    evolved.rows.push_back(evolved.rows[row(rng)]);
    evolved.names.push_back("copy" + std::to_string(evolved.rows.size()));
  }
  return evolved.to_msa();
}

// Every row one transition away from a common base, each at its own
// column: every distance is the same.
inline MSA<DNA> star_alignment(std::mt19937_64& rng, std::size_t n) {
  std::vector<std::uint8_t> base(n);
  for (auto& code : base) code = static_cast<std::uint8_t>(rng() % 4);
  MSA<DNA> msa;
  for (std::size_t s = 0; s < n; ++s) {
    std::vector<std::uint8_t> row = base;
    row[s] ^= 2;  // A<->G, C<->T
    (void)msa.add_row("s" + std::to_string(s), std::move(row));
  }
  return msa;
}

}  // namespace nj::testing
