// SPDX-License-Identifier: MIT
// Bootstrap clade support: the leaf sets of a tree's clades, how many
// replicate trees held each, and the labels they give the main tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tree.hpp"

namespace nj {

/// A set of leaves of a tree over n sequences: bit k stands for the leaf of
/// the sequence at position k. Stored in ceil(n/8) bytes, bit k in byte k / 8
/// at value 2^(k % 8); the bits above n - 1 are always clear.
class LeafSet {
 public:
  /// An empty set over n leaves.
  explicit LeafSet(std::uint64_t n);

  std::uint64_t universe() const noexcept { return n_; }
  /// Adds leaf k < n.
  void insert(std::uint64_t k) noexcept {
    const auto bit = static_cast<std::uint8_t>(1u << (k % 8));
    if ((bytes_[k / 8] & bit) == 0) ++count_;
    bytes_[k / 8] |= bit;
  }
  bool contains(std::uint64_t k) const noexcept {
    const unsigned byte = bytes_[k / 8];
    return ((byte >> (k % 8)) & 1u) != 0;
  }
  /// The number of leaves in the set.
  std::uint64_t count() const noexcept { return count_; }
  /// Adds every leaf of `other`, a set over the same n leaves.
  void merge(const LeafSet& other) noexcept;
  void clear() noexcept;

  std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }
  /// The bytes as a clade key.
  std::string_view key() const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::uint64_t n_;
  std::uint64_t count_ = 0;
  std::vector<std::uint8_t> bytes_;
};

/// Hashes clade keys, whether held as text or looked up through a view. Keys
/// of large trees are long (one bit per sequence), so the bytes are mixed
/// eight at a time in four independent lanes.
struct CladeKeyHash {
  using is_transparent = void;
  // Deliberately not noexcept: the standard library then keeps each key's
  // hash beside it, and growing the table does not hash every long key again.
  std::size_t operator()(std::string_view key) const;
};

/// How many replicate trees held each clade, keyed by the bytes of the
/// clade's leaf set. Clades are rooted: a set and its complement are distinct.
using CladeCounts = std::unordered_map<std::string, std::uint64_t, CladeKeyHash, std::equal_to<>>;

/// Adds to `leaves` the leaf of every sequence below (or at) `node`; bits
/// already set stay set. Leaves are matched by their `index`, the sequence's
/// position, so repeated identifiers remain distinct leaves. A leaf without a
/// `Name` label gives the error "Leaf node without a name label"; a leaf whose
/// index is not below `leaves.universe()` is an InternalError.
std::expected<void, std::string> bitset_of(const TreeNode& node, LeafSet& leaves);

/// Adds one to the count of every clade of `tree` (one replicate tree over
/// n sequences) that holds at least two leaves and fewer than n; the root's
/// clade of all leaves is never counted. A tree that does not match the
/// alignment (a leaf without a `Name` label, a leaf index not below n) is an
/// InternalError, raised before anything is counted; no error is returned.
std::expected<void, std::string> count_clades(const TreeNode& tree, std::uint64_t n,
                                              CladeCounts& counts);

/// Labels every inner node of `tree` (the main tree over n sequences) whose
/// clade holds at least two leaves and fewer than n and was counted, with its
/// count as `Support`, replacing any previous label; other nodes keep their
/// labels. Fails as count_clades does, before any label is changed.
void add_bootstrap_to_tree(TreeNode& tree, std::uint64_t n, const CladeCounts& counts);

}  // namespace nj
