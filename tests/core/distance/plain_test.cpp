// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "distance/plain.hpp"
#include "msa.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

using M = SubstitutionModel;

TEST(PlainDistances, KimuraCountsSeparateTransitionsFromTransversions) {
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

TEST(PlainDistances, RefuseAModelOfTheOtherAlphabet) {
  const auto dna = MSA<DNA>::from_iter({{"a", "AC"}, {"b", "AG"}});
  const auto protein = MSA<Protein>::from_iter({{"a", "AR"}, {"b", "AN"}});
  EXPECT_THROW((void)plain_distances(dna, M::Poisson), InternalError);
  EXPECT_THROW((void)plain_distances(protein, M::JukesCantor), InternalError);
  EXPECT_THROW((void)plain_distances(protein, M::Kimura2P), InternalError);
}

}  // namespace
}  // namespace nj
