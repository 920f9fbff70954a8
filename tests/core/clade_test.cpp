// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <pthread.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "clade.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

// A tree from a Newick-like shape whose leaves are sequence positions, e.g.
// "((0,1),2)"; each leaf is named after its position in `names`.
std::unique_ptr<TreeNode> parse(std::string_view& text, const std::vector<std::string>& names) {
  if (text.front() == '(') {
    text.remove_prefix(1);
    auto left = parse(text, names);
    text.remove_prefix(1);  // ','
    auto right = parse(text, names);
    text.remove_prefix(1);  // ')'
    auto node = TreeNode::inner(std::move(left), std::move(right), 0);
    node->branch_length.reset();
    return node;
  }
  std::size_t position = 0;
  while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
    position = position * 10 + static_cast<std::size_t>(text.front() - '0');
    text.remove_prefix(1);
  }
  return TreeNode::leaf(names.at(position), position);
}

std::unique_ptr<TreeNode> tree_of(std::string_view shape, const std::vector<std::string>& names) {
  return parse(shape, names);
}

std::uint64_t count_of(const CladeCounts& counts, std::uint64_t n,
                       const std::vector<std::uint64_t>& leaves) {
  LeafSet set(n);
  for (const std::uint64_t k : leaves) set.insert(k);
  const auto found = counts.find(set.key());
  return found == counts.end() ? 0 : found->second;
}

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "no failure";
}

TEST(LeafSet, BytesAreLeastSignificantBitFirst) {
  struct Case {
    std::uint64_t n;
    std::vector<std::uint64_t> leaves;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {0, {}, {}},
      {1, {0}, {0x01}},
      {8, {7}, {0x80}},
      {10, {0, 9, 8}, {0x01, 0x03}},
      {16, {15, 1}, {0x02, 0x80}},
      {70, {69, 3, 64}, {0x08, 0, 0, 0, 0, 0, 0, 0, 0x21}},
  };
  for (const Case& c : cases) {
    LeafSet set(c.n);
    for (const std::uint64_t k : c.leaves) set.insert(k);
    EXPECT_EQ(std::vector<std::uint8_t>(set.bytes().begin(), set.bytes().end()), c.bytes) << c.n;
    EXPECT_EQ(set.count(), c.leaves.size());
    for (const std::uint64_t k : c.leaves) EXPECT_TRUE(set.contains(k));
  }
  LeafSet a(70);
  LeafSet b(70);
  a.insert(1);
  b.insert(1);
  b.insert(66);
  a.merge(b);
  EXPECT_EQ(a.count(), 2u);
  EXPECT_TRUE(a.contains(66));
  a.clear();
  EXPECT_EQ(a.count(), 0u);
}

TEST(CladeSupport, BitsetOfSetsTheLeavesBelowANode) {
  const std::vector<std::string> names = {"A", "B", "C", "D", "E"};
  auto tree = tree_of("((0,(3,1)),(2,4))", names);
  LeafSet set(5);
  set.insert(2);  // bits already set stay set
  ASSERT_TRUE(bitset_of(*tree->children->left, set));
  EXPECT_EQ(std::vector<std::uint8_t>(set.bytes().begin(), set.bytes().end()),
            std::vector<std::uint8_t>{0b01111});

  tree->children->left->children->right->children->left->label.reset();
  LeafSet again(5);
  const auto no_name = bitset_of(*tree, again);
  ASSERT_FALSE(no_name);
  EXPECT_EQ(no_name.error(), "Leaf node without a name label");
  tree->children->right->children->left->label = Support{3};
  EXPECT_FALSE(bitset_of(*tree->children->right, again));

  LeafSet too_small(4);
  EXPECT_EQ(error_of([&] { (void)bitset_of(*tree_of("(2,4)", names), too_small); }),
            "Leaf index 4 is outside the alignment of 4 sequences");
}

TEST(CladeSupport, CountsAndLabels) {
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::vector<const char*> replicates;
    const char* main;
    const char* labelled;
  };
  const std::vector<Case> cases = {
      {"root not counted", {"A", "B", "C"}, {"((0,1),2)"}, "((0,1),2)", "((A,B)1,C);"},
      {"worked example",
       {"A", "B", "C", "D"},
       {"((0,1),(2,3))", "((0,2),(1,3))", "(((0,1),2),3)"},
       "((0,1),(2,3))",
       "((A,B)2,(C,D)1);"},
      {"clades are rooted: complements do not count",
       {"A", "B", "C", "D"},
       {"(((0,1),2),3)"},
       "(((2,3),0),1)",
       "(((C,D),A),B);"},
      {"order of children does not matter",
       {"A", "B", "C", "D"},
       {"(3,(2,(1,0)))"},
       "(((0,1),2),3)",
       "(((A,B)1,C)1,D);"},
      {"two taxa", {"A", "B"}, {"(0,1)", "(1,0)"}, "(0,1)", "(A,B);"},
      {"no replicates", {"A", "B", "C"}, {}, "((0,1),2)", "((A,B),C);"},
      {"repeated identifiers are distinct leaves",
       {"A", "B", "A", "B"},
       {"(((0,1),2),3)", "(((0,1),2),3)"},
       "(((0,1),2),3)",
       "(((A,B)2,A)2,B);"},
      {"repeated identifiers, other positions",
       {"A", "A", "A", "A"},
       {"((0,1),(2,3))", "((0,2),(1,3))"},
       "((0,1),(2,3))",
       "((A,A)1,(A,A)1);"},
  };
  for (const Case& c : cases) {
    const std::uint64_t n = c.names.size();
    CladeCounts counts;
    for (const char* shape : c.replicates) {
      EXPECT_TRUE(count_clades(*tree_of(shape, c.names), n, counts)) << c.what;
    }
    for (const auto& [key, count] : counts) {
      EXPECT_LE(count, c.replicates.size()) << c.what;
      EXPECT_EQ(key.size(), (n + 7) / 8) << c.what;
    }
    auto main = tree_of(c.main, c.names);
    add_bootstrap_to_tree(*main, n, counts);
    EXPECT_EQ(to_newick(*main), c.labelled) << c.what;
  }
}

TEST(CladeSupport, CountsEachReplicateClade) {
  const std::vector<std::string> names = {"A", "B", "C", "D"};
  CladeCounts counts;
  for (const char* shape : {"((0,1),(2,3))", "((0,2),(1,3))", "(((0,1),2),3)"}) {
    ASSERT_TRUE(count_clades(*tree_of(shape, names), 4, counts));
  }
  EXPECT_EQ(counts.size(), 5u);
  EXPECT_EQ(count_of(counts, 4, {0, 1}), 2u);
  EXPECT_EQ(count_of(counts, 4, {2, 3}), 1u);
  EXPECT_EQ(count_of(counts, 4, {0, 2}), 1u);
  EXPECT_EQ(count_of(counts, 4, {1, 3}), 1u);
  EXPECT_EQ(count_of(counts, 4, {0, 1, 2}), 1u);
  EXPECT_EQ(count_of(counts, 4, {0, 1, 2, 3}), 0u);
}

TEST(CladeSupport, LabelsOnlyCountedCladesAndKeepsOtherLabels) {
  const std::vector<std::string> names = {"A", "B", "C", "D"};
  CladeCounts counts;
  ASSERT_TRUE(count_clades(*tree_of("(((0,1),2),3)", names), 4, counts));
  auto main = tree_of("(((0,1),3),2)", names);
  TreeNode& abd = *main->children->left;
  TreeNode& ab = *abd.children->left;
  ab.label = Name{"old"};
  abd.label = Name{"kept"};
  main->label = Name{"root"};
  add_bootstrap_to_tree(*main, 4, counts);
  EXPECT_EQ(to_newick(*main), "(((A,B)1,D)kept,C)root;");
}

TEST(CladeSupport, TreesThatDoNotMatchTheAlignmentFailBeforeChangingAnything) {
  const std::vector<std::string> names = {"A", "B", "C", "D"};
  CladeCounts counts;
  ASSERT_TRUE(count_clades(*tree_of("((0,1),(2,3))", names), 4, counts));

  auto unnamed = tree_of("((0,1),(2,3))", names);
  unnamed->children->right->children->right->label.reset();
  auto beyond = tree_of("((0,1),(2,3))", names);
  beyond->children->right->children->right->index = 4;

  EXPECT_EQ(error_of([&] { (void)count_clades(*unnamed, 4, counts); }),
            "Leaf node without a name label");
  EXPECT_EQ(error_of([&] { (void)count_clades(*beyond, 4, counts); }),
            "Leaf index 4 is outside the alignment of 4 sequences");
  EXPECT_EQ(count_of(counts, 4, {0, 1}), 1u);
  EXPECT_EQ(count_of(counts, 4, {2, 3}), 1u);

  EXPECT_EQ(error_of([&] { add_bootstrap_to_tree(*unnamed, 4, counts); }),
            "Leaf node without a name label");
  EXPECT_EQ(error_of([&] { add_bootstrap_to_tree(*beyond, 4, counts); }),
            "Leaf index 4 is outside the alignment of 4 sequences");
  EXPECT_FALSE(beyond->children->left->label.has_value());
  EXPECT_EQ(error_of([&] { add_bootstrap_to_tree(*tree_of("(0,1)", names), 0, counts); }),
            "Leaf index 0 is outside the alignment of 0 sequences");
}

// Random shapes, some with leaf numbers that repeat: counting and labelling
// must agree with building every inner node's set by walking its subtree.
std::unique_ptr<TreeNode> random_tree(std::mt19937_64& random, std::uint64_t n, bool repeats) {
  std::vector<std::unique_ptr<TreeNode>> pool;
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::uint64_t position = repeats ? random() % n : k;
    pool.push_back(TreeNode::leaf("s" + std::to_string(position), position));
  }
  auto take = [&](std::size_t at) {
    auto node = std::move(pool[at]);
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(at));
    return node;
  };
  while (pool.size() > 1) {
    // Joining the newest node half of the time makes long chains.
    auto first = take(random() % 2 ? pool.size() - 1 : random() % pool.size());
    auto second = take(random() % pool.size());
    if (random() % 2) std::swap(first, second);
    pool.push_back(TreeNode::inner(std::move(first), std::move(second), 0));
  }
  return std::move(pool.front());
}

void each_inner(TreeNode& node, const std::function<void(TreeNode&)>& visit) {
  if (node.is_leaf()) return;
  visit(node);
  each_inner(*node.children->left, visit);
  each_inner(*node.children->right, visit);
}

TEST(CladeSupport, AgreesWithTheSetOfEveryNodeBuiltOnItsOwn) {
  const std::uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  for (int round = 0; round < 40; ++round) {
    const std::uint64_t n = 2 + random() % 150;
    const bool repeats = round % 4 == 0;
    CladeCounts fast;
    CladeCounts reference;
    for (int replicate = 0; replicate < 5; ++replicate) {
      auto tree = random_tree(random, n, repeats);
      ASSERT_TRUE(count_clades(*tree, n, fast));
      each_inner(*tree, [&](TreeNode& node) {
        LeafSet set(n);
        ASSERT_TRUE(bitset_of(node, set));
        if (set.count() >= 2 && set.count() < n) ++reference[std::string(set.key())];
      });
    }
    EXPECT_EQ(fast, reference) << "n " << n;

    auto main = random_tree(random, n, repeats);
    add_bootstrap_to_tree(*main, n, fast);
    each_inner(*main, [&](TreeNode& node) {
      LeafSet set(n);
      ASSERT_TRUE(bitset_of(node, set));
      const auto found = reference.find(set.key());
      if (set.count() >= 2 && set.count() < n && found != reference.end()) {
        EXPECT_EQ(node.label, Label(Support{found->second}));
      } else {
        EXPECT_FALSE(node.label.has_value());
      }
    });
  }
}

// Runs `body` on a thread with a 256 KiB stack: an implementation that
// recursed once per tree level would overflow it long before the end.
template <class Body>
void on_small_stack(Body body) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  auto trampoline = [](void* argument) -> void* {
    (*static_cast<Body*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, trampoline, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
}

// A caterpillar is as deep as it has leaves; nothing may recurse per level.
TEST(CladeSupport, CaterpillarOfManyLeaves) {
  // Every inner node of a caterpillar is a distinct clade, so the counts hold
  // n - 2 keys of n bits: 20,000 leaves keep that near 50 MB.
  constexpr std::uint64_t n = 20000;
  auto left_deep = TreeNode::leaf("s0", 0);
  for (std::uint64_t k = 1; k < n; ++k) {
    left_deep = TreeNode::inner(std::move(left_deep), TreeNode::leaf("s", k), 0);
  }
  auto right_deep = TreeNode::leaf("s0", 0);
  for (std::uint64_t k = 1; k < n; ++k) {
    right_deep = TreeNode::inner(TreeNode::leaf("s", k), std::move(right_deep), 0);
  }
  CladeCounts counts;
  bool counted = false;
  on_small_stack([&] {
    counted = count_clades(*left_deep, n, counts).has_value();
    // The mirror image holds the same clades.
    add_bootstrap_to_tree(*right_deep, n, counts);
  });
  ASSERT_TRUE(counted);
  EXPECT_EQ(counts.size(), n - 2);  // {0, 1}, {0, 1, 2}, ... {0, ..., n - 2}
  EXPECT_EQ(count_of(counts, n, {0, 1}), 1u);

  EXPECT_FALSE(right_deep->label.has_value());
  std::uint64_t labelled = 0;
  for (const TreeNode* node = right_deep->children->right.get(); !node->is_leaf();
       node = node->children->right.get()) {
    if (node->label == Label(Support{1})) ++labelled;
  }
  EXPECT_EQ(labelled, n - 2);
}

}  // namespace
}  // namespace nj
