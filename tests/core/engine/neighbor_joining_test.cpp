// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "distance/matrix.hpp"
#include "engine/neighbor_joining.hpp"
#include "nj/stop.hpp"

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

TEST(NeighborJoining, StopCheckAbandonsTheRun) {
  // Enough pairs that the engine polls several times along the way.
  constexpr std::size_t n = 400;
  std::vector<double> lower(pair_count(n), 1.0);
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
