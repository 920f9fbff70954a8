// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tree.hpp"

namespace nj {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

std::unique_ptr<TreeNode> leaf(const char* name, std::optional<double> length) {
  auto node = TreeNode::leaf(name, 0);
  node->branch_length = length;
  return node;
}

std::unique_ptr<TreeNode> pair_of(std::unique_ptr<TreeNode> l, std::unique_ptr<TreeNode> r) {
  return TreeNode::inner(std::move(l), std::move(r), 0);
}

TEST(Newick, BranchLengthFormat) {
  struct Case {
    double value;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0.05, "0.050"},
      {0.0625, "0.062"},  // exact tie: to even
      {0.0635, "0.064"},  // stored just above the tie
      {1.0005, "1.000"},  // stored just below the tie
      {2.5, "2.500"},
      {-0.0004, "-0.000"},
      {-0.0, "-0.000"},
      {0.0, "0.000"},
      {-0.012, "-0.012"},
      {1e21, "1000000000000000000000.000"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_branch_length(c.value), c.text) << c.value;
  }
  const std::string largest = format_branch_length(1.7976931348623157e308);
  EXPECT_EQ(largest.size(), 309u + 4u);
  EXPECT_EQ(largest.substr(0, 6), "179769");
  EXPECT_EQ(largest.substr(largest.size() - 4), ".000");
}

TEST(Newick, TreeTexts) {
  struct Case {
    std::unique_ptr<TreeNode> tree;
    const char* text;
  };
  std::vector<Case> cases;
  cases.push_back({leaf("a", std::nullopt), "a;"});
  cases.push_back({pair_of(leaf("a", 0.05), leaf("b", 0.05)), "(a:0.050,b:0.050);"});
  {
    auto unnamed = leaf("x", 0.1);
    unnamed->label.reset();
    cases.push_back({pair_of(std::move(unnamed), leaf("b", 0.2)), "(:0.100,b:0.200);"});
  }
  {
    auto root = pair_of(leaf("a", 0.1), leaf("b", 0.1));
    root->label = Support{7};
    root->branch_length = 12.5;  // the root's own length is never written
    cases.push_back({std::move(root), "(a:0.100,b:0.100)7;"});
  }
  {
    auto inner = pair_of(leaf("a", 0.1), leaf("b", 0.2));
    inner->label = Support{95};
    inner->branch_length = 0.05;
    cases.push_back(
        {pair_of(std::move(inner), leaf("c", 0.3)), "((a:0.100,b:0.200)95:0.050,c:0.300);"});
  }
  {
    auto inner = pair_of(leaf("a", 1), leaf("b", 1));
    inner->label = Support{0};
    cases.push_back({std::move(inner), "(a:1.000,b:1.000)0;"});
  }
  {
    auto inner = pair_of(leaf("a", 1), leaf("b", std::nullopt));
    inner->label = Name{"x"};
    cases.push_back({std::move(inner), "(a:1.000,b)x;"});
  }
  for (const Case& c : cases) EXPECT_EQ(to_newick(*c.tree), c.text);
  EXPECT_EQ(to_newick_recursion(*cases[1].tree), "(a:0.050,b:0.050)");
}

// Identifiers that Newick readers would split are quoted; others stay as stored.
TEST(Newick, IdentifierQuoting) {
  struct Case {
    std::string name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"x y,z", "'x y,z'"},
      {"it's", "'it''s'"},
      {"a(b)", "'a(b)'"},
      {"a[1]", "'a[1]'"},
      {"k:v", "'k:v'"},
      {"end;", "'end;'"},
      {"tab\there", "'tab\there'"},
      {"line\nbreak", "'line\nbreak'"},
      {"no\xC2\xA0" "break", "'no\xC2\xA0" "break'"},      // U+00A0
      {"em\xE2\x80\x83space", "'em\xE2\x80\x83space'"},    // U+2003
      {"ideo\xE3\x80\x80", "'ideo\xE3\x80\x80'"},          // U+3000
      {"nel\xC2\x85", "'nel\xC2\x85'"},                    // U+0085
      {"", ""},
      {"plain_name-1.2/3", "plain_name-1.2/3"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"zwj\xE2\x80\x8D", "zwj\xE2\x80\x8D"},  // U+200D is not white space
      {"\"dq\"", "\"dq\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_newick(*leaf(c.name.c_str(), std::nullopt)), c.text + ";") << c.name;
  }
}

// A caterpillar tree is as deep as it has leaves: writing and releasing it
// must not recurse once per level.
TEST(Newick, CaterpillarOfManyLeavesIsWrittenAndReleased) {
  constexpr int leaves = 100000;
  auto tree = leaf("l0", 1.0);
  for (int k = 1; k < leaves; ++k) {
    tree = pair_of(std::move(tree), leaf(("l" + std::to_string(k)).c_str(), 1.0));
    tree->branch_length = 0.5;
  }
  const std::string text = to_newick(*tree);
  EXPECT_EQ(text.substr(0, 12), std::string(12, '('));
  EXPECT_NE(text.find(std::string(leaves - 1, '(') + "l0:1.000,l1:1.000):0.500,l2:1.000):0.500,"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with(",l99999:1.000);"));
  tree.reset();

  // The mirror image: deep along the right children.
  auto right = leaf("r0", 1.0);
  for (int k = 1; k < leaves; ++k) right = pair_of(leaf("r", 1.0), std::move(right));
  EXPECT_EQ(to_newick(*right).substr(0, 7), "(r:1.00");
}

}  // namespace
}  // namespace nj
