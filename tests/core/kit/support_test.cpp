// SPDX-License-Identifier: MIT
// Support counts: split and clade matching against a brute-force comparison
// of leaf sets, and seeded replicates that are the same for any threads and
// any split into batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "kit/tree_parts.hpp"
#include "kit_samples.hpp"

namespace nj::kit {
namespace {

using LeafSet = std::vector<bool>;

// A random binary tree numbered as the engine numbers its trees: leaves
// 0 .. n - 1, inner nodes after their children, the root last.
std::unique_ptr<TreeNode> random_tree(std::mt19937_64& random, std::size_t n) {
  std::vector<std::unique_ptr<TreeNode>> live;
  for (std::size_t leaf = 0; leaf < n; ++leaf) {
    live.push_back(TreeNode::leaf("s" + std::to_string(leaf), leaf));
    live.back()->branch_length = 0.5;
  }
  for (std::uint64_t next = n; live.size() > 1; ++next) {
    std::swap(live[random() % live.size()], live.back());
    auto left = std::move(live.back());
    live.pop_back();
    std::swap(live[random() % live.size()], live.back());
    auto right = std::move(live.back());
    live.pop_back();
    live.push_back(TreeNode::inner(std::move(left), std::move(right), next));
    live.back()->branch_length = 0.25;
  }
  return std::move(live.front());
}

// Leaf sets of every node, by node number.
std::vector<LeafSet> clusters(const TreeNode& root, std::size_t n) {
  std::vector<LeafSet> sets(2 * n - 1, LeafSet(n, false));
  std::vector<const TreeNode*> order{&root};
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (!order[k]->is_leaf()) {
      order.push_back(order[k]->children->left.get());
      order.push_back(order[k]->children->right.get());
    }
  }
  for (auto node = order.rbegin(); node != order.rend(); ++node) {
    if ((*node)->is_leaf()) {
      sets[(*node)->index][(*node)->index] = true;
      continue;
    }
    for (std::size_t leaf = 0; leaf < n; ++leaf) {
      sets[(*node)->index][leaf] = sets[(*node)->children->left->index][leaf] ||
                                   sets[(*node)->children->right->index][leaf];
    }
  }
  return sets;
}

LeafSet complement(LeafSet set) {
  set.flip();
  return set;
}

// The counts spelled out: a main-tree node is supported when some
// non-root node of the replicate has its leaf set (clades), or its leaf set
// or the complement (splits).
std::vector<std::uint64_t> brute_force(const TreeNode& main, const std::vector<const TreeNode*>& replicates,
                                       std::size_t n, SupportKind kind) {
  const auto main_sets = clusters(main, n);
  std::vector<std::uint64_t> counts(n - 1, 0);
  for (const TreeNode* replicate : replicates) {
    auto sets = clusters(*replicate, n);
    sets.pop_back();  // the root
    const std::set<LeafSet> held(sets.begin(), sets.end());
    for (std::size_t slot = 0; slot + 1 < n - 1; ++slot) {
      const LeafSet& set = main_sets[n + slot];
      counts[slot] += held.contains(set) || (kind == SupportKind::split && held.contains(complement(set)));
    }
  }
  return counts;
}

TEST(Support, SplitsAndCladesAgainstLeafSets) {
  std::mt19937_64 random(17);
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t n = 3 + random() % 40;
    const auto main_nodes = random_tree(random, n);
    const MainTree main = tree_from_nodes(*main_nodes, n);
    // Random trees share little; the main tree itself and trees of a few
    // leaves share much.
    std::vector<std::unique_ptr<TreeNode>> owned;
    owned.push_back(random_tree(random, n));
    owned.push_back(random_tree(random, n));
    std::vector<const TreeNode*> replicates = {main_nodes.get(), owned[0].get(), owned[1].get()};
    for (const SupportKind kind : {SupportKind::split, SupportKind::clade}) {
      SupportCounter counter(main.parts(), kind);
      std::vector<std::uint64_t> counts(n - 1, 0);
      for (const TreeNode* replicate : replicates) counter.count(*replicate, counts);
      finish_counts(main.parts(), kind, counts);
      const auto expected = brute_force(*main_nodes, replicates, n, kind);
      for (std::size_t slot = 0; slot < n - 1; ++slot) {
        if (!main.labelled(slot, kind)) continue;
        EXPECT_EQ(counts[slot], expected[slot]) << "trial " << trial << " slot " << slot;
      }
    }
  }
}

// ((a,b),(c,d)) and a tree that holds the split ab|cd rooted elsewhere:
// both root children carry the count of their one edge.
TEST(Support, RootChildrenShareTheirEdge) {
  auto tree = [](std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t w) {
    auto pair = TreeNode::inner(TreeNode::leaf("p", x), TreeNode::leaf("q", y), 4);
    auto three = TreeNode::inner(std::move(pair), TreeNode::leaf("r", z), 5);
    return TreeNode::inner(std::move(three), TreeNode::leaf("s", w), 6);
  };
  auto balanced = TreeNode::inner(TreeNode::inner(TreeNode::leaf("a", 0), TreeNode::leaf("b", 1), 4),
                                  TreeNode::inner(TreeNode::leaf("c", 2), TreeNode::leaf("d", 3), 5), 6);
  const MainTree main = tree_from_nodes(*balanced, 4);
  SupportCounter counter(main.parts(), SupportKind::split);
  std::vector<std::uint64_t> counts(3, 0);
  counter.count(*tree(2, 3, 1, 0), counts);  // ((c,d),b),a: holds cd|ab
  counter.count(*tree(0, 2, 1, 3), counts);  // ((a,c),b),d: holds ac|bd only
  finish_counts(main.parts(), SupportKind::split, counts);
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{1, 1, 0}));
  EXPECT_EQ(newick(main, counts, {SupportKind::split, 2, true}),
            "((a:0.000,b:0.000)50:0.000,(c:0.000,d:0.000)50:0.000);");
}

TEST(Support, PercentagesRoundHalvesUp) {
  std::mt19937_64 random(2);
  const auto nodes = random_tree(random, 3);
  const MainTree main = tree_from_nodes(*nodes, 3);
  const std::size_t slot = 0;  // the one inner node below the root
  for (const auto& [count, replicates, label] :
       {std::tuple{1, 8, "13"}, {3, 8, "38"}, {1, 3, "33"}, {2, 3, "67"}, {0, 5, "0"}, {7, 7, "100"}}) {
    std::vector<std::uint64_t> counts(2, 0);
    counts[slot] = static_cast<std::uint64_t>(count);
    const std::string text = newick(main, counts, {SupportKind::clade, static_cast<std::uint64_t>(replicates), true});
    EXPECT_NE(text.find(std::string(")") + label + ":"), std::string::npos) << text;
  }
}

TEST(Support, TreesFromPartsAreChecked) {
  const std::vector<std::string> names = {"a", "b", "c"};
  const std::vector<double> lengths(5, 0.5);
  EXPECT_TRUE(MainTree::from_parts(names, {0, 1, 3, 2}, lengths));
  EXPECT_EQ(MainTree::from_parts(names, {0, 1, 1, 2}, lengths).error(), "node 1 cannot be a child of node 4");
  EXPECT_EQ(MainTree::from_parts(names, {0, 4, 3, 2}, lengths).error(), "node 4 cannot be a child of node 3");
  EXPECT_FALSE(MainTree::from_parts(names, {0, 1, 3}, lengths));
}

struct Bootstrap {
  Alignment alignment;
  MainTree tree;
};

Bootstrap bootstrap_input(std::size_t n, std::size_t length) {
  std::mt19937_64 random(31);
  Alignment alignment = testing::encode(testing::random_records(random, n, length, "ACGTACGTN-"), MissingRule::skip);
  auto matrix = alignment_distances(alignment, {SubstitutionModel::Kimura2P, 1, Undefined::error});
  return {std::move(alignment), std::move(build_tree(std::move(*matrix)).value())};
}

std::vector<std::uint64_t> support(const Bootstrap& input, std::uint64_t first, std::uint64_t count,
                                   unsigned threads, SupportKind kind = SupportKind::split) {
  SupportRequest request;
  request.model = SubstitutionModel::Kimura2P;
  request.kind = kind;
  request.seed = 99;
  request.first = first;
  request.count = count;
  request.threads = threads;
  return count_support(input.alignment, input.tree, request).value();
}

TEST(Support, SeededReplicatesForAnyThreadsAndBatches) {
  EXPECT_EQ(replicate_seed(0, 0), 0xE220A8397B1DCDAFu);  // SplitMix64's first output from 0
  const Bootstrap input = bootstrap_input(60, 300);
  for (const SupportKind kind : {SupportKind::split, SupportKind::clade}) {
    const auto whole = support(input, 0, 24, 1, kind);
    EXPECT_EQ(support(input, 0, 24, 3, kind), whole);
    auto batches = support(input, 0, 10, 2, kind);
    const auto rest = support(input, 10, 14, 4, kind);
    for (std::size_t slot = 0; slot < batches.size(); ++slot) batches[slot] += rest[slot];
    EXPECT_EQ(batches, whole);
    EXPECT_TRUE(std::ranges::any_of(whole, [](std::uint64_t c) { return c > 0 && c < 24; }));
  }
}

TEST(Support, AMonitorThatSaysStopEndsTheRun) {
  const Bootstrap input = bootstrap_input(200, 500);
  SupportRequest request;
  request.count = 1'000'000;
  request.threads = 2;
  std::uint64_t looks = 0;
  EXPECT_THROW(count_support(input.alignment, input.tree, request, [&](std::uint64_t) { return ++looks < 3; }),
               Cancelled);
  EXPECT_EQ(looks, 3u);
}

}  // namespace
}  // namespace nj::kit
