// SPDX-License-Identifier: MIT
// Which edges of the main tree a replicate tree holds, in time linear in
// the leaves: with the main tree's leaf order, each of its clades and each
// of its splits (the side without the leaf at place 0) is an interval of
// places, so a cluster of the replicate matches one exactly when its least
// and greatest place span as many places as it has leaves and that
// interval is the main tree's.
#include <algorithm>
#include <limits>

#include "kit/tree_parts.hpp"
#include "nj/error.hpp"

namespace nj::kit {

SupportCounter::SupportCounter(const MainTree::Parts& tree, SupportKind kind)
    : tree_(tree), kind_(kind) {}

// Reads the replicate's children and parents, checking the numbering that
// the counting relies on: leaves 0 .. n - 1, and every inner node after its
// children, the root last.
void SupportCounter::read_tree(const TreeNode& replicate) {
  const std::size_t n = tree_.size();
  children_.assign(2 * (n - 1), 0);
  parent_.assign(2 * n - 1, 2 * n - 1);
  std::vector<const TreeNode*> stack{&replicate};
  if (replicate.index != 2 * n - 2) internal_failure("a replicate tree's root is not its last node");
  while (!stack.empty()) {
    const TreeNode& node = *stack.back();
    stack.pop_back();
    if (node.is_leaf()) {
      if (node.index >= n) internal_failure(fill("a replicate tree holds leaf {}", node.index));
      continue;
    }
    const TreeNode* pair[2] = {node.children->left.get(), node.children->right.get()};
    for (std::size_t side = 0; side < 2; ++side) {
      const TreeNode* child = pair[side];
      if (child == nullptr || child->index >= node.index || node.index < n) {
        internal_failure("a replicate tree's nodes are not numbered children first");
      }
      children_[2 * (node.index - n) + side] = child->index;
      parent_[child->index] = node.index;
      stack.push_back(child);
    }
  }
}

void SupportCounter::add_if_known(const Cluster& cluster,
                                  const std::unordered_map<std::uint64_t, std::uint32_t>& slots,
                                  std::vector<std::uint64_t>& counts) const {
  if (!cluster.interval()) return;
  const auto found = slots.find(cluster_key(cluster.lo, cluster.hi));
  if (found != slots.end()) ++counts[found->second];
}

void SupportCounter::count(const TreeNode& replicate, std::vector<std::uint64_t>& counts) {
  const std::size_t n = tree_.size();
  if (n < 3) return;  // no inner node but the root
  read_tree(replicate);
  clusters_.resize(2 * n - 1);
  for (std::size_t leaf = 0; leaf < n; ++leaf) {
    clusters_[leaf] = {tree_.place[leaf], tree_.place[leaf], 1};
  }
  for (std::size_t node = n; node < 2 * n - 1; ++node) {
    const Cluster& a = clusters_[children_[2 * (node - n)]];
    const Cluster& b = clusters_[children_[2 * (node - n) + 1]];
    clusters_[node] = {std::min(a.lo, b.lo), std::max(a.hi, b.hi), a.size + b.size};
  }
  if (kind_ == SupportKind::clade) {
    for (std::size_t node = n; node < 2 * n - 2; ++node) {
      add_if_known(clusters_[node], tree_.clade_slots, counts);
    }
    return;
  }
  count_splits(counts);
}

// A node's side without the leaf at place 0 is its cluster, unless the node
// lies on the path from that leaf to the root: then it is everything outside
// the node, gathered from the siblings on the way down. The root's child on
// the path shares its edge with the other child, which counts it.
void SupportCounter::count_splits(std::vector<std::uint64_t>& counts) {
  const std::size_t n = tree_.size();
  const std::size_t root = 2 * n - 2;
  path_.clear();
  for (std::uint64_t node = tree_.first_leaf; node != root; node = parent_[node]) {
    path_.push_back(node);
  }
  for (std::size_t node = n; node < root; ++node) {
    if (clusters_[node].lo != 0) add_if_known(clusters_[node], tree_.split_slots, counts);
  }
  constexpr auto none = std::numeric_limits<std::uint32_t>::max();
  Cluster outside{none, 0, 0};
  for (std::size_t k = path_.size(); k-- > 1;) {
    const std::uint64_t node = path_[k];
    const std::uint64_t parent = parent_[node];
    const std::size_t at = 2 * (parent - n);
    const Cluster& sibling = clusters_[children_[at] == node ? children_[at + 1] : children_[at]];
    outside = {std::min(outside.lo, sibling.lo), std::max(outside.hi, sibling.hi),
               outside.size + sibling.size};
    if (parent != root) add_if_known(outside, tree_.split_slots, counts);
  }
}

void finish_counts(const MainTree::Parts& tree, SupportKind kind, std::vector<std::uint64_t>& counts) {
  if (kind != SupportKind::split) return;
  for (const auto& [slot, source] : tree.split_twins) counts[slot] = counts[source];
}

}  // namespace nj::kit
