// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distance/matrix.hpp"
#include "engine/join_step.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/state.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A matrix from names and the condensed lower triangle in row order:
// (1,0), (2,0), (2,1), (3,0), ...
DistMat matrix_of(std::vector<std::string> names, std::vector<double> lower) {
  DistMat matrix = DistMat::zeros(std::move(names));
  EXPECT_EQ(matrix.distances.size(), lower.size());
  matrix.distances = std::move(lower);
  return matrix;
}

std::string newick_of(DistMat matrix) {
  auto tree = neighbor_joining(std::move(matrix));
  if (!tree) return "error: " + tree.error();
  return to_newick(**tree);
}

TEST(NeighborJoining, WorkedExampleOfFiveTaxa) {
  // ab 5, ac 9, bc 10, ad 9, bd 10, cd 8, ae 8, be 9, ce 7, de 3
  DistMat matrix = matrix_of({"a", "b", "c", "d", "e"}, {5, 9, 10, 9, 10, 8, 8, 9, 7, 3});
  auto tree = neighbor_joining(std::move(matrix));
  ASSERT_TRUE(tree);
  EXPECT_EQ(to_newick(**tree), "((d:2.000,(c:4.000,(b:3.000,a:2.000):3.000):2.000):0.500,e:0.500);");
  const TreeNode& root = **tree;
  EXPECT_EQ(root.index, 8u);
  const TreeNode& w = *root.children->left;
  EXPECT_EQ(w.index, 7u);
  EXPECT_EQ(w.children->right->index, 6u);
  EXPECT_EQ(w.children->right->children->right->index, 5u);
  EXPECT_EQ(root.children->right->index, 4u);
  EXPECT_FALSE(root.label.has_value());
}

TEST(NeighborJoining, EdgeCases) {
  struct Case {
    std::vector<std::string> names;
    std::vector<double> lower;
    const char* newick;
  };
  const std::vector<Case> cases = {
      {{}, {}, "error: Empty distance matrix"},
      {{"a"}, {}, "a;"},
      {{"a", "b"}, {0.3}, "(a:0.150,b:0.150);"},
      {{"a", "b", "c", "d"}, {1, 1, 1, 1, 1, 1}, "((c:0.500,(b:0.500,a:0.500):0.000):0.250,d:0.250);"},
      {{"a", "b", "c"}, {1, 0.25, 0.25}, "((b:0.500,a:0.500):-0.125,c:-0.125);"},
      // Equal in exact arithmetic; in double precision Q(c, a) is one ulp smaller.
      {{"a", "b", "c"}, {0.3, 0.5, 0.6}, "(b:0.100,(c:0.400,a:0.100):0.100);"},
      {{"a", "b", "c"}, {inf, 0.2, 0.3}, "(b:inf,(c:0.000,a:0.200):inf);"},
      {{"a", "b", "c"}, {nan, 0.2, 0.3}, "(a:NaN,(c:0.000,b:0.300):NaN);"},
      {{"a", "b"}, {nan}, "(a:NaN,b:NaN);"},
      {{"a", "b"}, {-0.0}, "(a:-0.000,b:-0.000);"},
      {{"a", "b", "c"}, {-0.0, 0.5, 0.5}, "((b:0.000,a:0.000):0.250,c:0.250);"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(newick_of(matrix_of(c.names, c.lower)), c.newick);
  }
}

TEST(NeighborJoining, SingleLeafAndPairKeepTheirIndices) {
  auto one = neighbor_joining(matrix_of({"a"}, {}));
  ASSERT_TRUE(one);
  EXPECT_EQ((*one)->index, 0u);
  EXPECT_FALSE((*one)->branch_length.has_value());

  auto two = neighbor_joining(matrix_of({"a", "b"}, {0.3}));
  ASSERT_TRUE(two);
  EXPECT_EQ((*two)->index, 2u);
  EXPECT_EQ((*two)->children->left->index, 0u);
  EXPECT_EQ((*two)->children->right->index, 1u);
}

// On a tree metric (distances that are path lengths of a tree) the method
// recovers the tree: every leaf-to-leaf path of the result has its input length.
TEST(NeighborJoining, RecoversAnAdditiveTree) {
  // ((a:1,b:2):3,(c:4,d:5):6) unrooted as a - b | c - d with inner edge 9.
  const std::vector<std::string> names = {"c", "a", "d", "b"};
  auto path = [](char x, char y) {
    const auto leaf_length = [](char z) { return z == 'a' ? 1.0 : z == 'b' ? 2.0 : z == 'c' ? 4.0 : 5.0; };
    const bool same_side = (x <= 'b') == (y <= 'b');
    return leaf_length(x) + leaf_length(y) + (same_side ? 0.0 : 9.0);
  };
  std::vector<double> lower;
  for (std::size_t i = 1; i < names.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) lower.push_back(path(names[i][0], names[j][0]));
  }
  EXPECT_EQ(newick_of(matrix_of(names, lower)), "(((d:5.000,c:4.000):9.000,a:1.000):1.000,b:1.000);");
}

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

TEST(NeighborJoining, StopCheckAbandonsTheRun) {
  // Enough pairs that the engine polls several times along the way.
  constexpr std::size_t n = 400;
  std::vector<double> lower(n * (n - 1) / 2, 1.0);
  std::vector<std::string> names;
  for (std::size_t k = 0; k < n; ++k) names.push_back("s" + std::to_string(k));
  int asked = 0;
  const StopCheck stop_now = [&] { return ++asked >= 2; };
  EXPECT_THROW((void)neighbor_joining_plain(matrix_of(names, lower), stop_now), Cancelled);
  EXPECT_EQ(asked, 2);

  const StopCheck never = [] { return false; };
  EXPECT_TRUE(neighbor_joining(matrix_of(names, lower), never));
}

}  // namespace
}  // namespace nj
