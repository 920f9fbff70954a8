// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "distance/workspace.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using M = SubstitutionModel;

struct PairCase {
  const char* a;
  const char* b;
  M model;
  double expected;  // compared to 1e-12, or exactly for inf, NaN and zeros
  const char* why;
};

template <Alphabet A>
double pair_distance(const PairCase& c) {
  const auto msa = MSA<A>::from_iter({{"a", c.a}, {"b", c.b}});
  const DistMat matrix = DistanceWorkspace().from_msa(msa, c.model);
  EXPECT_EQ(matrix.distances.size(), 1u);
  return matrix.get(1, 0);
}

void expect_distance(double got, const PairCase& c) {
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << c.why << ": " << got;
  } else if (c.expected == 0.0 || std::isinf(c.expected)) {
    EXPECT_EQ(got, c.expected) << c.why;
    EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << c.why << ": sign of zero";
  } else {
    EXPECT_NEAR(got, c.expected, 1e-12) << c.why;
  }
}

TEST(Models, DnaPairs) {
  const std::vector<PairCase> cases = {
      {"ACGT", "ACGA", M::PDiff, 0.25, "one difference in four"},
      {"ACGT", "ACGA", M::JukesCantor, 0.304098831081123, "-0.75 ln(1 - 1/3)"},
      {"ACGT", "ACGA", M::Kimura2P, 0.317127831365876, "one transversion"},
      {"A-GT", "ACGA", M::PDiff, 0.25, "gap column skipped but kept in L"},
      {"NNNN", "ACGT", M::PDiff, 1.0, "unknown is an ordinary code"},
      {"NNNN", "ACGT", M::JukesCantor, inf, "p >= 0.75"},
      {"NNNN", "ACGT", M::Kimura2P, inf, "four transversions: a = -1"},
      {"NNNN", "NNNN", M::PDiff, 0.0, "unknown against unknown is no difference"},
      {"AAAA", "GGGG", M::Kimura2P, inf, "four transitions: b = -1"},
      {"ACGT", "ACTA", M::JukesCantor, 0.8239592165010822, "p = 0.5"},
      {"AAAA", "CCCA", M::JukesCantor, inf, "exactly p = 0.75"},
      {"ACGT", "GTAC", M::Kimura2P, inf, "all transitions"},
      {"AACC", "GACC", M::Kimura2P, 0.34657359027997264, "P = 0.25: a = 1, b = 0.5"},
      {"AACC", "GATC", M::Kimura2P, inf, "P = 0.5: b = 0 exactly"},
      {"ACGT", "ACGT", M::PDiff, 0.0, "identical: +0"},
      {"ACGT", "ACGT", M::JukesCantor, -0.0, "identical: -0"},
      {"ACGT", "ACGT", M::Kimura2P, -0.0, "identical: -0"},
      {"----", "ACGT", M::JukesCantor, -0.0, "all columns skipped"},
      {"", "", M::PDiff, nan, "no columns"},
      {"", "", M::JukesCantor, nan, "no columns"},
      {"", "", M::Kimura2P, nan, "no columns"},
  };
  for (const PairCase& c : cases) expect_distance(pair_distance<DNA>(c), c);
}

TEST(Models, ProteinPairs) {
  const std::vector<PairCase> cases = {
      {"ARND", "ARNV", M::PDiff, 0.25, "one difference"},
      {"ARND", "ARNV", M::Poisson, 0.287682072451781, "-ln(0.75)"},
      {"ARND", "VVVV", M::Poisson, inf, "every column differs"},
      {"ARND", "VVVV", M::PDiff, 1.0, "every column differs"},
      {"ARND", "ARND", M::Poisson, -0.0, "identical: -0"},
      {"ARND", "ARND", M::PDiff, 0.0, "identical: +0"},
      {"XXAR", "XX-W", M::PDiff, 0.25, "unknown equal, gap skipped"},
      {"", "", M::Poisson, nan, "no columns"},
  };
  for (const PairCase& c : cases) expect_distance(pair_distance<Protein>(c), c);
}

TEST(Models, KimuraSeparatesTransitionsFromTransversions) {
  struct Case {
    const char* a;
    const char* b;
    std::uint64_t transitions;
    std::uint64_t transversions;
  };
  const std::vector<Case> cases = {
      {"AGCT", "GATC", 4, 0},
      {"ACGT", "CATG", 0, 4},
      {"ANNA", "GNTC", 1, 2},  // N against T is a transversion
      {"A-G-", "G-A-", 2, 0},
  };
  for (const Case& c : cases) {
    const auto msa = MSA<DNA>::from_iter({{"a", c.a}, {"b", c.b}});
    const SiteCounts counts = count_sites<DNA>(msa.row(0), msa.row(1));
    EXPECT_EQ(counts.transitions, c.transitions) << c.a << " " << c.b;
    EXPECT_EQ(counts.transversions, c.transversions) << c.a << " " << c.b;
    EXPECT_EQ(counts.differences, c.transitions + c.transversions);
    EXPECT_EQ(counts.columns, 4u);
  }
}

TEST(DistMat, StoresTheCondensedLowerTriangleInRowOrder) {
  EXPECT_EQ(pair_index(0, 1), 0u);
  EXPECT_EQ(pair_index(0, 2), 1u);
  EXPECT_EQ(pair_index(1, 2), 2u);
  EXPECT_EQ(pair_index(2, 3), 5u);

  // Row k differs from row 0 in its first k columns, so d(i, j) = |i - j| / 4.
  const auto msa = MSA<DNA>::from_iter(
      {{"s0", "AAAA"}, {"s1", "CAAA"}, {"s2", "CCAA"}, {"s3", "CCCA"}, {"s4", "CCCC"}});
  const DistMat matrix = DistanceWorkspace().from_msa(msa, M::PDiff);
  EXPECT_EQ(matrix.names, msa.identifiers);
  ASSERT_EQ(matrix.distances.size(), 10u);
  for (std::size_t a = 0; a < 5; ++a) {
    for (std::size_t b = 0; b < 5; ++b) {
      const double expected = static_cast<double>(a > b ? a - b : b - a) / 4.0;
      EXPECT_EQ(matrix.get(a, b), expected) << a << "," << b;
    }
  }

  const auto single = MSA<DNA>::from_iter({{"only", "ACGT"}});
  const DistMat one = DistanceWorkspace().from_msa(single, M::JukesCantor);
  EXPECT_TRUE(one.distances.empty());
  EXPECT_EQ(one.names, std::vector<std::string>{"only"});
}

TEST(DistMat, RefusesAModelOfTheOtherAlphabet) {
  const auto dna = MSA<DNA>::from_iter({{"a", "AC"}, {"b", "AG"}});
  const auto protein = MSA<Protein>::from_iter({{"a", "AR"}, {"b", "AN"}});
  EXPECT_THROW((void)DistanceWorkspace().from_msa(dna, M::Poisson), InternalError);
  EXPECT_THROW((void)DistanceWorkspace().from_msa(protein, M::JukesCantor), InternalError);
  EXPECT_THROW((void)DistanceWorkspace().from_msa(protein, M::Kimura2P), InternalError);
}

}  // namespace
}  // namespace nj
