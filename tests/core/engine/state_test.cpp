// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "distance/matrix.hpp"
#include "engine/join_step.hpp"
#include "engine/state.hpp"

namespace nj {
namespace {

// The state's row sums add their terms in column order, diagonal included:
// the same bits as the plain sum, whatever the order the matrix is read in.
TEST(NJStateTest, RowSumsAddTheirTermsInColumnOrder) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const std::vector<double> specials = {-0.0, 0.0, 1e300, -1e300, 1e-300, 0x1p-1074};
  for (std::size_t n = 0; n < 40; ++n) {
    std::vector<std::string> names(n, "x");
    DistMat matrix = DistMat::zeros(names);
    for (double& d : matrix.distances) {
      d = rng() % 4 == 0 ? specials[rng() % specials.size()] : uniform(rng) * 1e3;
    }
    std::vector<std::uint64_t> expected;
    for (std::size_t s = 0; s < n; ++s) {
      double sum = 0.0;
      for (std::size_t t = 0; t < n; ++t) sum += matrix.get(s, t);
      expected.push_back(std::bit_cast<std::uint64_t>(sum));
    }
    const NJState state(std::move(matrix));
    std::vector<std::uint64_t> actual;
    for (const double sum : state.row_sums) actual.push_back(std::bit_cast<std::uint64_t>(sum));
    EXPECT_EQ(actual, expected) << "n = " << n;
  }
}

// join_pair against the join step written out term by term: lengths, the
// new distances and every row sum, bit for bit, over random joins.
TEST(NJStateTest, JoinPairFollowsTheStatedOperations) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 3 + rng() % 40;
    DistMat matrix = DistMat::zeros(std::vector<std::string>(n, "x"));
    for (double& d : matrix.distances) d = rng() % 8 == 0 ? -0.0 : uniform(rng) * 10.0;
    NJState state(matrix);
    NJState reference(std::move(matrix));
    for (std::size_t live = n; live > 2; --live) {
      std::vector<std::size_t> slots;
      for (std::size_t s = 0; s < n; ++s) {
        if (state.active.contains(s)) slots.push_back(s);
      }
      const std::size_t a = slots[rng() % live];
      std::size_t b = slots[rng() % live];
      while (b == a) b = slots[rng() % live];
      const std::size_t i = std::max(a, b);
      const std::size_t j = std::min(a, b);
      const auto m = static_cast<double>(live);
      join_pair(state, i, j, m);

      std::vector<double>& r = reference.row_sums;
      DistMat& d = reference.matrix;
      const double d_ij = d.get(i, j);
      const double length_i = clamp_length(0.5 * d_ij + (r[i] - r[j]) / ((m - 2.0) + (m - 2.0)));
      const double length_j = clamp_length(d_ij - length_i);
      r[i] = r[i] - d_ij;
      for (const std::size_t k : slots) {
        if (k == i || k == j) continue;
        const double d_ik = d.get(i, k);
        const double d_jk = d.get(j, k);
        const double e = ((d_ik + d_jk) - d_ij) * 0.5;
        r[i] = (r[i] - d_ik) + e;
        r[k] = e + ((r[k] - d_ik) - d_jk);
        d.set(i, k, e);
      }
      r[j] = 0.0;
      reference.active.remove(j);

      const TreeNode& made = *state.nodes[i];
      ASSERT_EQ(std::bit_cast<std::uint64_t>(*made.children->left->branch_length),
                std::bit_cast<std::uint64_t>(length_i));
      ASSERT_EQ(std::bit_cast<std::uint64_t>(*made.children->right->branch_length),
                std::bit_cast<std::uint64_t>(length_j));
      for (std::size_t s = 0; s < n; ++s) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(state.row_sums[s]), std::bit_cast<std::uint64_t>(r[s]))
            << "trial " << trial << ", slot " << s;
      }
      for (std::size_t p = 0; p < d.distances.size(); ++p) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(state.matrix.distances[p]),
                  std::bit_cast<std::uint64_t>(d.distances[p]));
      }
    }
  }
}

}  // namespace
}  // namespace nj
