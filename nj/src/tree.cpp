// SPDX-License-Identifier: MIT
#include "tree.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace nj {

namespace {

// Frees a subtree in constant stack space and without allocating: rotating
// each left subtree up turns the tree into a right-leaning chain whose nodes
// are then released one by one, each already without children.
void release_subtree(std::unique_ptr<TreeNode> node) noexcept {
  while (node) {
    Children* children = node->children ? &*node->children : nullptr;
    if (children != nullptr && children->left) {
      std::unique_ptr<TreeNode> left = std::move(children->left);
      if (!left->children) left->children.emplace();
      children->left = std::move(left->children->right);
      left->children->right = std::move(node);
      node = std::move(left);
    } else {
      std::unique_ptr<TreeNode> next = children ? std::move(children->right) : nullptr;
      node->children.reset();
      node = std::move(next);
    }
  }
}

// Unicode White_Space, by the UTF-8 bytes that encode it.
bool white_space_at(std::string_view text, std::size_t k) noexcept {
  const auto byte = [&](std::size_t at) {
    return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
  };
  const unsigned b0 = byte(k);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return true;
  const unsigned b1 = byte(k + 1);
  const unsigned b2 = byte(k + 2);
  switch (b0) {
    case 0xC2: return b1 == 0x85 || b1 == 0xA0;                     // U+0085, U+00A0
    case 0xE1: return b1 == 0x9A && b2 == 0x80;                     // U+1680
    case 0xE2:
      if (b1 == 0x80) return b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
      return b1 == 0x81 && b2 == 0x9F;                              // U+205F
    case 0xE3: return b1 == 0x80 && b2 == 0x80;                     // U+3000
    default: return false;
  }
}

bool needs_quotes(std::string_view name) noexcept {
  for (std::size_t k = 0; k < name.size(); ++k) {
    switch (name[k]) {
      case '(': case ')': case '[': case ']': case '\'': case ':': case ';': case ',':
        return true;
      default:
        if (white_space_at(name, k)) return true;
    }
  }
  return false;
}

void append_name(std::string& out, std::string_view name) {
  if (!needs_quotes(name)) {
    out += name;
    return;
  }
  out += '\'';
  for (const char c : name) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
}

void append_label(std::string& out, const std::optional<Label>& label) {
  if (!label) return;
  if (const auto* name = std::get_if<Name>(&*label)) {
    append_name(out, name->text);
  } else {
    out += std::to_string(std::get<Support>(*label).count);
  }
}

void append_branch_length(std::string& out, const TreeNode& node) {
  if (!node.branch_length) return;
  out += ':';
  out += format_branch_length(*node.branch_length);
}

}  // namespace

TreeNode::~TreeNode() {
  if (!children) return;
  std::unique_ptr<TreeNode> left = std::move(children->left);
  std::unique_ptr<TreeNode> right = std::move(children->right);
  children.reset();
  release_subtree(std::move(left));
  release_subtree(std::move(right));
}

std::unique_ptr<TreeNode> TreeNode::leaf(std::string name, std::uint64_t index) {
  auto node = std::make_unique<TreeNode>();
  node->label = Name{std::move(name)};
  node->index = index;
  return node;
}

std::unique_ptr<TreeNode> TreeNode::inner(std::unique_ptr<TreeNode> left,
                                          std::unique_ptr<TreeNode> right, std::uint64_t index) {
  auto node = std::make_unique<TreeNode>();
  node->branch_length = 0.0;
  node->index = index;
  node->children = Children{std::move(left), std::move(right)};
  return node;
}

std::string format_branch_length(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Fixed notation never uses an exponent; 1e308 needs 309 digits plus sign,
  // point and three decimals.
  char buffer[330];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  return std::string(buffer, result.ptr);
}

std::string to_newick_recursion(const TreeNode& node) {
  // An explicit stack instead of recursion: a tree can be as deep as it has
  // leaves. `after_child` counts how many children of the node are written.
  struct Frame {
    const TreeNode* node;
    int after_child;
  };
  std::string out;
  std::vector<Frame> stack;
  stack.push_back({&node, 0});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const TreeNode& current = *frame.node;
    if (current.is_leaf()) {
      append_label(out, current.label);
      stack.pop_back();
      continue;
    }
    const Children& children = *current.children;
    switch (frame.after_child) {
      case 0:
        out += '(';
        frame.after_child = 1;
        stack.push_back({children.left.get(), 0});
        break;
      case 1:
        append_branch_length(out, *children.left);
        out += ',';
        frame.after_child = 2;
        stack.push_back({children.right.get(), 0});
        break;
      default:
        append_branch_length(out, *children.right);
        out += ')';
        append_label(out, current.label);
        stack.pop_back();
    }
  }
  return out;
}

std::string to_newick(const TreeNode& root) { return to_newick_recursion(root) + ";"; }

}  // namespace nj
