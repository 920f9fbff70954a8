// SPDX-License-Identifier: MIT
// The main tree: built by the engine, kept as arrays, written as Newick text.
#include <variant>

#include "engine/neighbor_joining.hpp"
#include "kit/tree_parts.hpp"
#include "kit/workers.hpp"
#include "nj/error.hpp"

namespace nj::kit {

namespace {

std::size_t root_of(std::size_t n) noexcept { return 2 * n - 2; }

// Leaf places: a walk from the root, left child first.
void place_leaves(MainTree::Parts& parts) {
  const std::size_t n = parts.size();
  parts.place.assign(n, 0);
  std::uint32_t next = 0;
  std::vector<std::uint64_t> stack{root_of(n)};
  while (!stack.empty()) {
    const std::uint64_t node = stack.back();
    stack.pop_back();
    if (node < n) {
      if (next == 0) parts.first_leaf = static_cast<std::uint32_t>(node);
      parts.place[node] = next++;
      continue;
    }
    stack.push_back(parts.children[2 * (node - n) + 1]);
    stack.push_back(parts.children[2 * (node - n)]);
  }
}

}  // namespace

void derive(MainTree::Parts& parts) {
  const std::size_t n = parts.size();
  place_leaves(parts);
  parts.split_labelled.assign(n - 1, 0);
  std::vector<std::uint32_t> lo(2 * n - 1), hi(2 * n - 1);
  for (std::size_t leaf = 0; leaf < n; ++leaf) lo[leaf] = hi[leaf] = parts.place[leaf];
  for (std::size_t node = n; node < root_of(n); ++node) {
    const auto slot = static_cast<std::uint32_t>(node - n);
    lo[node] = lo[parts.children[2 * slot]];
    hi[node] = hi[parts.children[2 * slot + 1]];
    parts.clade_slots.emplace(cluster_key(lo[node], hi[node]), slot);
    // The side without place 0: the clade itself, or the places after it.
    const std::uint64_t side_lo = lo[node] > 0 ? lo[node] : hi[node] + 1;
    const std::uint64_t side_hi = lo[node] > 0 ? hi[node] : n - 1;
    const std::uint64_t side = side_hi + 1 - side_lo;
    if (side < 2 || side + 2 > n) continue;  // a single leaf split off
    parts.split_labelled[slot] = 1;
    const auto [at, added] = parts.split_slots.emplace(cluster_key(side_lo, side_hi), slot);
    if (!added) parts.split_twins.emplace_back(slot, at->second);
  }
}

MainTree::MainTree() : parts_(std::make_unique<Parts>()) {}
MainTree::MainTree(Parts parts) : parts_(std::make_unique<Parts>(std::move(parts))) {
  derive(*parts_);
}
MainTree::MainTree(MainTree&&) noexcept = default;
MainTree& MainTree::operator=(MainTree&&) noexcept = default;
MainTree::~MainTree() = default;

std::size_t MainTree::size() const noexcept { return parts_->size(); }
const std::vector<std::string>& MainTree::names() const noexcept { return parts_->names; }
std::span<const std::uint64_t> MainTree::children() const noexcept { return parts_->children; }
std::span<const double> MainTree::lengths() const noexcept { return parts_->lengths; }

bool MainTree::labelled(std::size_t slot, SupportKind kind) const noexcept {
  const std::size_t n = size();
  if (n < 3 || slot >= n - 2) return false;  // slot n - 2 is the root's
  return kind == SupportKind::clade || parts_->split_labelled[slot] != 0;
}

std::expected<MainTree, std::string> MainTree::from_parts(std::vector<std::string> names,
                                                          std::vector<std::uint64_t> children,
                                                          std::vector<double> lengths) {
  const std::size_t n = names.size();
  if (n == 0) return std::unexpected(std::string("a tree needs at least one leaf"));
  if (children.size() != 2 * (n - 1) || lengths.size() != 2 * n - 1) {
    return std::unexpected(fill("a tree of {} leaves has {} children and {} lengths, not {} and {}",
                                n, children.size(), lengths.size(), 2 * (n - 1), 2 * n - 1));
  }
  // Each node below its parent's number and under one parent only: then
  // every path upwards ends at the root, and the nodes make one tree.
  std::vector<bool> has_parent(2 * n - 1, false);
  for (std::size_t k = 0; k < children.size(); ++k) {
    const std::uint64_t node = n + k / 2;
    const std::uint64_t child = children[k];
    if (child >= node || has_parent[child]) {
      return std::unexpected(fill("node {} cannot be a child of node {}", child, node));
    }
    has_parent[child] = true;
  }
  MainTree::Parts parts;
  parts.names = std::move(names);
  parts.children = std::move(children);
  parts.lengths = std::move(lengths);
  return MainTree(std::move(parts));
}

MainTree tree_from_nodes(const TreeNode& root, std::size_t n) {
  MainTree::Parts parts;
  parts.names.resize(n);
  parts.children.resize(2 * (n - 1));
  parts.lengths.assign(2 * n - 1, 0.0);
  std::vector<const TreeNode*> stack{&root};
  while (!stack.empty()) {
    const TreeNode& node = *stack.back();
    stack.pop_back();
    const bool leaf = node.is_leaf();
    if (leaf ? node.index >= n : node.index < n || node.index > root_of(n)) {
      internal_failure(fill("the engine's tree holds node {} of a tree of {} leaves", node.index, n));
    }
    if (&node != &root) parts.lengths[node.index] = node.branch_length.value_or(0.0);
    if (leaf) {
      const Name* name = node.label ? std::get_if<Name>(&*node.label) : nullptr;
      if (name == nullptr) internal_failure("a leaf of the engine's tree has no name");
      parts.names[node.index] = name->text;
      continue;
    }
    if (!node.children->left || !node.children->right) {
      internal_failure("an inner node of the engine's tree lacks a child");
    }
    const std::size_t slot = node.index - n;
    parts.children[2 * slot] = node.children->left->index;
    parts.children[2 * slot + 1] = node.children->right->index;
    stack.push_back(node.children->left.get());
    stack.push_back(node.children->right.get());
  }
  return MainTree(std::move(parts));
}

std::expected<MainTree, std::string> build_tree(Distances distances, const Monitor& monitor) {
  std::expected<MainTree, std::string> result = std::unexpected(std::string());
  detail::run_on_workers(
      1,
      [&](unsigned, const StopCheck& stop) {
        const std::size_t n = distances.names.size();
        DistMat matrix{std::move(distances.values), std::move(distances.names)};
        auto root = neighbor_joining(std::move(matrix), stop);
        if (!root) {
          result = std::unexpected(std::move(root.error()));
          return;
        }
        result = tree_from_nodes(**root, n);
      },
      nullptr, monitor);
  return result;
}

namespace {

std::uint64_t label_value(std::uint64_t count, const LabelStyle& style) {
  if (!style.percent) return count;
  if (style.replicates == 0) internal_failure("percentages of no replicates");
  // count * 100 / replicates, rounded to nearest with halves up.
  __extension__ using Wide = unsigned __int128;
  const Wide twice = 2 * static_cast<Wide>(style.replicates);
  return static_cast<std::uint64_t>((200 * static_cast<Wide>(count) + style.replicates) / twice);
}

// The tree as nodes for the Newick writer, labelled when `counts` is given.
std::unique_ptr<TreeNode> nodes_of(const MainTree& tree, std::span<const std::uint64_t> counts,
                                   const LabelStyle& style) {
  const std::size_t n = tree.size();
  const auto& names = tree.names();
  const auto children = tree.children();
  const auto lengths = tree.lengths();
  std::vector<std::unique_ptr<TreeNode>> nodes(2 * n - 1);
  for (std::size_t leaf = 0; leaf < n; ++leaf) nodes[leaf] = TreeNode::leaf(names[leaf], leaf);
  // Every edge but the root's has its length (a tree of one leaf has none).
  const auto attach = [&](std::uint64_t child) {
    nodes[child]->branch_length = lengths[child];
    return std::move(nodes[child]);
  };
  for (std::size_t node = n; node < 2 * n - 1; ++node) {
    const std::size_t slot = node - n;
    nodes[node] = TreeNode::inner(attach(children[2 * slot]), attach(children[2 * slot + 1]), node);
    if (!counts.empty() && tree.labelled(slot, style.kind)) {
      nodes[node]->label = Support{label_value(counts[slot], style)};
    }
  }
  return std::move(nodes[2 * n - 2]);
}

}  // namespace

std::string newick(const MainTree& tree) { return newick(tree, {}, LabelStyle{}); }

std::string newick(const MainTree& tree, std::span<const std::uint64_t> counts,
                   const LabelStyle& style) {
  if (!counts.empty() && counts.size() + 1 != tree.size()) {
    internal_failure(fill("{} counts for a tree of {} leaves", counts.size(), tree.size()));
  }
  return to_newick(*nodes_of(tree, counts, style));
}

}  // namespace nj::kit
