// SPDX-License-Identifier: MIT
#include "clade.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>

#include "nj/error.hpp"

namespace nj {

namespace {

std::uint64_t load_word(const std::uint8_t* at) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Bit counting by halves; std::popcount becomes a library call on the
// baseline x86-64 instruction set.
std::uint64_t bits_in(std::uint64_t word) noexcept {
  word = word - ((word >> 1) & 0x5555555555555555);
  word = (word & 0x3333333333333333) + ((word >> 2) & 0x3333333333333333);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return (word * 0x0101010101010101) >> 56;
}

std::uint64_t mix(std::uint64_t value) noexcept {
  value ^= value >> 33;
  value *= 0xFF51AFD7ED558CCD;
  value ^= value >> 33;
  value *= 0xC4CEB9FE1A85EC53;
  return value ^ (value >> 33);
}

}  // namespace

LeafSet::LeafSet(std::uint64_t n) : n_(n), bytes_((n + 7) / 8, 0) {}

void LeafSet::merge(const LeafSet& other) noexcept {
  const std::uint8_t* from = other.bytes_.data();
  std::uint8_t* into = bytes_.data();
  const std::size_t size = bytes_.size();
  std::size_t k = 0;
  for (; k + 8 <= size; k += 8) {
    const std::uint64_t mine = load_word(into + k);
    const std::uint64_t fresh = load_word(from + k) & ~mine;
    if (fresh == 0) continue;
    count_ += bits_in(fresh);
    const std::uint64_t merged = mine | fresh;
    std::memcpy(into + k, &merged, sizeof merged);
  }
  for (; k < size; ++k) {
    const auto fresh = static_cast<std::uint8_t>(from[k] & ~into[k]);
    count_ += bits_in(fresh);
    into[k] |= fresh;
  }
}

void LeafSet::clear() noexcept {
  std::memset(bytes_.data(), 0, bytes_.size());
  count_ = 0;
}

std::size_t CladeKeyHash::operator()(std::string_view key) const {
  constexpr std::uint64_t odd = 0x9E3779B97F4A7C15;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(key.data());
  const std::size_t size = key.size();
  std::uint64_t lanes[4] = {size, 1, 2, 3};
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      lanes[lane] = (lanes[lane] ^ load_word(bytes + at + 8 * lane)) * odd;
      lanes[lane] ^= lanes[lane] >> 29;
    }
  }
  for (std::size_t lane = 0; at < size; lane = (lane + 1) % 4) {
    std::uint64_t word = 0;
    const std::size_t take = std::min<std::size_t>(8, size - at);
    std::memcpy(&word, bytes + at, take);
    lanes[lane] = (lanes[lane] ^ word) * odd;
    lanes[lane] ^= lanes[lane] >> 29;
    at += take;
  }
  return mix(mix(lanes[0]) ^ std::rotl(mix(lanes[1]), 16) ^ std::rotl(mix(lanes[2]), 32) ^
             std::rotl(mix(lanes[3]), 48));
}

namespace {

constexpr std::size_t no_parent = std::numeric_limits<std::size_t>::max();

// Why `leaf` cannot be placed in a set over n leaves, if it cannot. A leaf
// number beyond the alignment means the tree was not built from it.
std::optional<std::string> leaf_problem(const TreeNode& leaf, std::uint64_t n) {
  if (!leaf.label || !std::holds_alternative<Name>(*leaf.label)) {
    return std::string("Leaf node without a name label");
  }
  if (leaf.index >= n) {
    internal_failure(fill("Leaf index {} is outside the alignment of {} sequences", leaf.index, n));
  }
  return std::nullopt;
}

template <class Node>
Node& child(Node& parent, bool left) {
  const std::unique_ptr<TreeNode>& slot = left ? parent.children->left : parent.children->right;
  if (!slot) internal_failure("An inner node lacks one of its two children");
  return *slot;
}

// A tree laid out in an array, every node after its parent, with the number
// of leaves below each node: enough to visit it bottom-up without recursion.
template <class Node>
struct FlatNode {
  Node* node;
  std::size_t left = 0;
  std::size_t right = 0;
  std::uint64_t leaves = 1;
};

// Lays the tree out, checking every leaf first so that a tree that does not
// match the alignment fails before any count or label changes.
template <class Node>
std::vector<FlatNode<Node>> flatten(Node& root, std::uint64_t n) {
  struct Pending {
    Node* node;
    std::size_t parent;
    bool is_left;
  };
  std::vector<FlatNode<Node>> flat;
  std::vector<Pending> stack{{&root, no_parent, false}};
  while (!stack.empty()) {
    const Pending pending = stack.back();
    stack.pop_back();
    const std::size_t at = flat.size();
    flat.push_back({pending.node});
    if (pending.parent != no_parent) {
      (pending.is_left ? flat[pending.parent].left : flat[pending.parent].right) = at;
    }
    Node& node = *pending.node;
    if (node.is_leaf()) {
      if (auto problem = leaf_problem(node, n)) internal_failure(std::move(*problem));
      continue;
    }
    stack.push_back({&child(node, false), at, false});
    stack.push_back({&child(node, true), at, true});
  }
  for (std::size_t at = flat.size(); at-- > 0;) {
    FlatNode<Node>& entry = flat[at];
    if (!entry.node->is_leaf()) entry.leaves = flat[entry.left].leaves + flat[entry.right].leaves;
  }
  return flat;
}

// Calls visit(node, leaf set) for every inner node, children before parents.
// Each node's set is its larger child's set with the smaller child's merged
// in; visiting the larger child first keeps the unfinished sets alive at once
// to about log2(leaves), however deep the tree.
template <class Node, class Visit>
void for_each_clade(const std::vector<FlatNode<Node>>& flat, std::uint64_t n, Visit visit) {
  std::vector<LeafSet> finished;  // sets of finished subtrees, innermost last
  std::vector<LeafSet> spare;     // cleared sets, kept for reuse
  auto single = [&](const Node& leaf) {
    if (spare.empty()) {
      finished.emplace_back(n);
    } else {
      finished.push_back(std::move(spare.back()));
      spare.pop_back();
    }
    finished.back().insert(leaf.index);
  };
  struct Frame {
    std::size_t at;
    int stage;
  };
  std::vector<Frame> stack{{0, 0}};
  while (!stack.empty()) {
    const FlatNode<Node>& entry = flat[stack.back().at];
    if (entry.node->is_leaf()) {
      single(*entry.node);
      stack.pop_back();
      continue;
    }
    const bool left_first = flat[entry.left].leaves >= flat[entry.right].leaves;
    const std::size_t larger_at = left_first ? entry.left : entry.right;
    const std::size_t smaller_at = left_first ? entry.right : entry.left;
    const Node& smaller = *flat[smaller_at].node;
    const int stage = stack.back().stage++;
    if (stage == 0) {
      stack.push_back({larger_at, 0});
    } else if (stage == 1) {
      // A smaller child that is a leaf goes straight into the larger one's set.
      if (!smaller.is_leaf()) stack.push_back({smaller_at, 0});
    } else {
      if (smaller.is_leaf()) {
        finished.back().insert(smaller.index);
      } else {
        LeafSet done = std::move(finished.back());
        finished.pop_back();
        finished.back().merge(done);
        done.clear();
        spare.push_back(std::move(done));
      }
      visit(*entry.node, finished.back());
      stack.pop_back();
    }
  }
}

bool counted(std::uint64_t leaves_in_clade, std::uint64_t n) noexcept {
  return leaves_in_clade >= 2 && leaves_in_clade < n;
}

}  // namespace

std::expected<void, std::string> bitset_of(const TreeNode& node, LeafSet& leaves) {
  std::vector<const TreeNode*> stack{&node};
  while (!stack.empty()) {
    const TreeNode& current = *stack.back();
    stack.pop_back();
    if (current.is_leaf()) {
      if (auto problem = leaf_problem(current, leaves.universe())) {
        return std::unexpected(std::move(*problem));
      }
      leaves.insert(current.index);
      continue;
    }
    stack.push_back(&child(current, false));
    stack.push_back(&child(current, true));
  }
  return {};
}

std::expected<void, std::string> count_clades(const TreeNode& tree, std::uint64_t n,
                                              CladeCounts& counts) {
  for_each_clade(flatten(tree, n), n, [&](const TreeNode&, const LeafSet& clade) {
    if (!counted(clade.count(), n)) return;
    if (auto found = counts.find(clade.key()); found != counts.end()) {
      ++found->second;
    } else {
      counts.emplace(std::string(clade.key()), 1);
    }
  });
  return {};
}

void add_bootstrap_to_tree(TreeNode& tree, std::uint64_t n, const CladeCounts& counts) {
  for_each_clade(flatten(tree, n), n, [&](TreeNode& node, const LeafSet& clade) {
    if (!counted(clade.count(), n)) return;
    if (auto found = counts.find(clade.key()); found != counts.end()) {
      node.label = Support{found->second};
    }
  });
}

}  // namespace nj
