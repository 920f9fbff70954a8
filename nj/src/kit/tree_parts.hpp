// SPDX-License-Identifier: MIT
// The main tree's arrays, and what counting the support of its edges needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nj/toolkit.hpp"
#include "tree.hpp"

namespace nj::kit {

/// Leaf places [lo, hi] of the tree's leaf order packed into a key.
inline std::uint64_t cluster_key(std::uint64_t lo, std::uint64_t hi) noexcept {
  return (lo << 32) | hi;
}

struct MainTree::Parts {
  std::vector<std::string> names;
  std::vector<std::uint64_t> children;  // two per inner node, node n first
  std::vector<double> lengths;          // one per node

  // Derived from the above. Leaves are placed in the order a walk from the
  // root, left child first, meets them, so every clade is an interval of
  // places. A split is written as its side without the leaf at place 0,
  // which is an interval too.
  std::vector<std::uint32_t> place;  // of each leaf
  std::unordered_map<std::uint64_t, std::uint32_t> clade_slots;
  std::unordered_map<std::uint64_t, std::uint32_t> split_slots;
  /// Pairs (slot, slot it copies): the root's two children share one edge.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> split_twins;
  std::vector<std::uint8_t> split_labelled;  // per inner slot
  std::uint32_t first_leaf = 0;              // the leaf at place 0

  std::size_t size() const noexcept { return names.size(); }
};

/// Fills the derived members of `parts` from names, children and lengths.
void derive(MainTree::Parts& parts);

/// The tree as the engine built it, moved into arrays.
MainTree tree_from_nodes(const TreeNode& root, std::size_t n);

/// Counts, for one replicate tree at a time, which inner nodes of the main
/// tree it supports. Keeps its buffers between replicates.
class SupportCounter {
 public:
  SupportCounter(const MainTree::Parts& tree, SupportKind kind);

  /// Adds one to counts[slot] for every inner node of the main tree whose
  /// split (or clade) `replicate` holds. Slots that copy another are left
  /// to finish_counts.
  void count(const TreeNode& replicate, std::vector<std::uint64_t>& counts);

 private:
  struct Cluster {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t size;
    bool interval() const noexcept { return hi - lo + 1 == size; }
  };

  void read_tree(const TreeNode& replicate);
  void add_if_known(const Cluster& cluster, const std::unordered_map<std::uint64_t, std::uint32_t>& slots,
                    std::vector<std::uint64_t>& counts) const;
  void count_splits(std::vector<std::uint64_t>& counts);

  const MainTree::Parts& tree_;
  SupportKind kind_;
  std::vector<std::uint64_t> children_;  // of the replicate, as in Parts
  std::vector<std::uint64_t> parent_;
  std::vector<Cluster> clusters_;
  std::vector<std::uint64_t> path_;
};

/// Gives each slot that copies another that one's count.
void finish_counts(const MainTree::Parts& tree, SupportKind kind, std::vector<std::uint64_t>& counts);

}  // namespace nj::kit
