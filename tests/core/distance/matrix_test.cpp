// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "msa.hpp"

namespace nj {
namespace {

TEST(DistMat, StoresTheCondensedLowerTriangleInRowOrder) {
  EXPECT_EQ(pair_index(0, 1), 0u);
  EXPECT_EQ(pair_index(0, 2), 1u);
  EXPECT_EQ(pair_index(1, 2), 2u);
  EXPECT_EQ(pair_index(2, 3), 5u);
  EXPECT_EQ(pair_count(0), 0u);
  EXPECT_EQ(pair_count(1), 0u);
  EXPECT_EQ(pair_count(2), 1u);
  EXPECT_EQ(pair_count(5), 10u);
  EXPECT_EQ(DistMat::zeros({"a", "b", "c"}).distances, std::vector<double>(3, 0.0));

  // Row k differs from row 0 in its first k columns, so d(i, j) = |i - j| / 4.
  const auto msa = MSA<DNA>::from_iter(
      {{"s0", "AAAA"}, {"s1", "CAAA"}, {"s2", "CCAA"}, {"s3", "CCCA"}, {"s4", "CCCC"}});
  const DistMat matrix = DistanceWorkspace().from_msa(msa, SubstitutionModel::PDiff);
  EXPECT_EQ(matrix.names, msa.identifiers);
  ASSERT_EQ(matrix.distances.size(), 10u);
  for (std::size_t a = 0; a < 5; ++a) {
    for (std::size_t b = 0; b < 5; ++b) {
      const double expected = static_cast<double>(a > b ? a - b : b - a) / 4.0;
      EXPECT_EQ(matrix.get(a, b), expected) << a << "," << b;
    }
  }

  const auto single = MSA<DNA>::from_iter({{"only", "ACGT"}});
  const DistMat one = DistanceWorkspace().from_msa(single, SubstitutionModel::JukesCantor);
  EXPECT_TRUE(one.distances.empty());
  EXPECT_EQ(one.names, std::vector<std::string>{"only"});
}

}  // namespace
}  // namespace nj
