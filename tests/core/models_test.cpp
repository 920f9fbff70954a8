// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "models.hpp"
#include "msa.hpp"
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

// What require_model_suits<A> says of `model`: "ok" or its failure.
template <Alphabet A>
std::string refusal(M model) {
  try {
    require_model_suits<A>(model);
    return "ok";
  } catch (const InternalError& e) {
    return e.what();
  }
}

// Nucleotide models on DNA, PDiff and Poisson on protein; any other pairing
// is a broken assumption of the caller, named in the failure.
TEST(Models, EachSuitsItsAlphabet) {
  struct Case {
    M model;
    bool dna;
    bool protein;
  };
  const std::vector<Case> cases = {
      {M::PDiff, true, true},
      {M::JukesCantor, true, false},
      {M::Kimura2P, true, false},
      {M::Poisson, false, true},
  };
  for (const Case& c : cases) {
    const std::string name(model_name(c.model));
    const std::string refused = "the " + name + " model is not defined on this alphabet";
    EXPECT_EQ(model_suits<DNA>(c.model), c.dna) << name;
    EXPECT_EQ(model_suits<Protein>(c.model), c.protein) << name;
    EXPECT_EQ(refusal<DNA>(c.model), c.dna ? "ok" : refused);
    EXPECT_EQ(refusal<Protein>(c.model), c.protein ? "ok" : refused);
  }
}

}  // namespace
}  // namespace nj
