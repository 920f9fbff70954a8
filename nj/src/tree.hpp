// SPDX-License-Identifier: MIT
// Rooted binary tree nodes and the Newick writer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace nj {

/// A sequence identifier carried by a node.
struct Name {
  std::string text;
  bool operator==(const Name&) const = default;
};

/// A bootstrap count: how many replicate trees hold this node's clade.
struct Support {
  std::uint64_t count = 0;
  bool operator==(const Support&) const = default;
};

using Label = std::variant<Name, Support>;

struct TreeNode;

/// The two subtrees of an inner node, each owned exclusively.
struct Children {
  std::unique_ptr<TreeNode> left;
  std::unique_ptr<TreeNode> right;
};

/// A node of a rooted, strictly binary tree; a tree is owned through its root.
struct TreeNode {
  /// Length of the edge up to the parent. A leaf starts without one, an
  /// inner node with 0.0; the root's is never written.
  std::optional<double> branch_length;
  std::optional<Label> label;
  /// Leaves: the sequence's position; inner nodes: n, n+1, ... in creation order.
  std::uint64_t index = 0;
  /// None for a leaf, both subtrees for an inner node.
  std::optional<Children> children;

  TreeNode() = default;
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;
  /// Releases the subtrees without recursion, so the depth of the tree
  /// (a caterpillar tree is as deep as it has leaves) cannot exhaust the stack.
  ~TreeNode();

  static std::unique_ptr<TreeNode> leaf(std::string name, std::uint64_t index);
  static std::unique_ptr<TreeNode> inner(std::unique_ptr<TreeNode> left,
                                         std::unique_ptr<TreeNode> right, std::uint64_t index);

  bool is_leaf() const noexcept { return !children.has_value(); }
};

/// The Newick text of the whole tree, ending with ";".
std::string to_newick(const TreeNode& root);

/// The Newick text of a subtree, without the final ";".
std::string to_newick_recursion(const TreeNode& node);

/// A branch length in fixed notation with three decimals, rounded half to
/// even from the exact binary value; inf, -inf and NaN as words.
std::string format_branch_length(double value);

}  // namespace nj
