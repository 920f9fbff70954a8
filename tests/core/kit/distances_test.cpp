// SPDX-License-Identifier: MIT
// Distances under the skip rule against the formulas of a column-by-column
// count, under the literal rule against the core's own reference, the same
// for any number of threads; matrices from arrays.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "kit_samples.hpp"
#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "models.hpp"

namespace nj::kit {
namespace {

using nj::detail::SkipCounts;
using testing::Records;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

Distances distances(const Alignment& alignment, SubstitutionModel model, unsigned threads,
                    Undefined undefined = Undefined::error) {
  auto result = alignment_distances(alignment, {model, threads, undefined});
  if (!result) throw std::runtime_error(result.error());
  return std::move(*result);
}

// Each value is the model's formula of the reference counts, bit for bit,
// whatever the number of threads; 300 sequences make several bands of rows.
TEST(SkipDistances, MatrixOfTheFormulasForAnyThreads) {
  std::mt19937_64 random(8);
  const Records records = testing::random_records(random, 300, 700, "ACGTACGTACGTN-R");
  const Alignment alignment = testing::encode(records, MissingRule::skip);
  for (const SubstitutionModel model : {SubstitutionModel::PDiff, SubstitutionModel::Kimura2P}) {
    const Distances one = distances(alignment, model, 1);
    for (std::size_t i = 1; i < records.size(); i += 37) {
      for (std::size_t j = 0; j < i; ++j) {
        const SkipCounts c = testing::skip_counts(records[i].second, records[j].second, Residues::dna);
        const double expected = distance_from_counts(
            model, SiteCounts{c.differences, c.transitions, c.differences - c.transitions, c.compared});
        ASSERT_TRUE(same_bits(one.values[pair_index(j, i)], expected)) << i << ' ' << j;
      }
    }
    for (const unsigned threads : {2u, 5u}) {
      const Distances many = distances(alignment, model, threads);
      EXPECT_TRUE(std::ranges::equal(one.values, many.values, same_bits)) << threads;
    }
  }
}

// The literal rule gives the matrix the core gives _nj_py, bit for bit.
TEST(LiteralDistances, TheCoreReferenceMatrix) {
  std::mt19937_64 random(4);
  for (const bool protein : {false, true}) {
    const Records records = testing::random_records(random, 150, 900, protein ? "ARNDCQEGHILKMFPSTWYVX-a*" : "ACGTacgtNnU-");
    std::vector<SequencePair> pairs(records.begin(), records.end());
    const Alignment alignment = testing::encode(records, MissingRule::literal);
    for (const SubstitutionModel model : {SubstitutionModel::PDiff, protein ? SubstitutionModel::Poisson : SubstitutionModel::Kimura2P}) {
      const DistMat reference = protein ? plain_distances(MSA<Protein>::from_iter(pairs), model)
                                        : plain_distances(MSA<DNA>::from_iter(pairs), model);
      EXPECT_TRUE(std::ranges::equal(distances(alignment, model, 3).values, reference.distances, same_bits));
    }
  }
}

TEST(SkipDistances, PairsWithoutACommonColumn) {
  const Records records = {{"a", "AC--"}, {"b", "ACGT"}, {"c", "--GT"}, {"d", "--N-"}};
  const Alignment alignment = testing::encode(records, MissingRule::skip);
  const auto refused = alignment_distances(alignment, {SubstitutionModel::PDiff, 2, Undefined::error});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            "sequences \"a\" and \"c\" share no column where both hold a residue: their distance is undefined");
  const Distances nan = distances(alignment, SubstitutionModel::PDiff, 1, Undefined::nan);
  EXPECT_TRUE(std::isnan(nan.values[pair_index(0, 2)]));
  EXPECT_EQ(nan.values[pair_index(0, 1)], 0.0);
  EXPECT_EQ(alignment_distances(alignment, {SubstitutionModel::Poisson, 1, Undefined::nan}).error(),
            "Poisson is a protein model; cannot use with DNA");
}

TEST(ArrayDistances, SquareAndCondensedLayouts) {
  const std::vector<std::string> names = {"a", "b", "c"};
  const std::vector<double> square = {0, 1, 2, 1, 0, 3, 2, 3, 0};
  const auto from_square = distances_from_square(names, square);
  const auto from_condensed = distances_from_condensed(names, std::vector<double>{1, 2, 3});
  ASSERT_TRUE(from_square && from_condensed);
  EXPECT_EQ(from_square->values, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(from_condensed->values, from_square->values);
  std::vector<double> written(9, -1.0);
  write_square(*from_square, written.data(), 0, 2);
  write_square(*from_square, written.data(), 2, 3);
  EXPECT_EQ(written, square);
  const struct {
    std::vector<double> values;
    std::string refusal;
  } bad[] = {
      {{0, 1, 2, 1, 0, 3, 2, 4, 0},
       "the matrix is not symmetric: the distance between \"b\" and \"c\" is 3.0 above the diagonal but "
       "4.0 below it"},
      {{0, 1, 2, 1, 0.5, 3, 2, 3, 0}, "the distance of \"b\" to itself is 0.5, not 0"},
      {{0, 1}, "a square matrix of 3 names needs 9 values, not 2"},
  };
  for (const auto& [values, refusal] : bad) EXPECT_EQ(distances_from_square(names, values).error(), refusal);
  EXPECT_EQ(distances_from_condensed(names, std::vector<double>{1}).error(),
            "a condensed matrix of 3 names needs 3 values, not 1");
}

}  // namespace
}  // namespace nj::kit
