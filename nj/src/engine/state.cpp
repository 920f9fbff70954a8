// SPDX-License-Identifier: MIT
#include "engine/state.hpp"

#include <string>
#include <utility>

#include "nj/error.hpp"

namespace nj {

ActiveSet::ActiveSet(std::size_t n) : n_(n), words_((n + 63) / 64, ~std::uint64_t{0}) {
  if (n % 64 != 0) words_.back() = (std::uint64_t{1} << (n % 64)) - 1;
}

std::uint64_t ActiveSet::count() const noexcept {
  std::uint64_t total = 0;
  for (const std::uint64_t word : words_) total += static_cast<std::uint64_t>(std::popcount(word));
  return total;
}

NJState::NJState(DistMat matrix_in, RowTotals totals)
    : matrix(std::move(matrix_in)), active(matrix.size()), next_index(matrix.size()) {
  const std::size_t n = matrix.size();
  nodes.reserve(n);
  for (std::size_t s = 0; s < n; ++s) nodes.push_back(TreeNode::leaf(matrix.names[s], s));
  if (!totals.sized_for(n)) totals = row_totals(matrix);
  row_sums = std::move(totals.sums);
  leaf_least = std::move(totals.least);
  leaf_most = std::move(totals.most);
}

TreeResult final_join(NJState& state) {
  const std::uint64_t live = state.active.count();
  if (live != 2) return std::unexpected(fill("Expected 2 active nodes but found {}", live));
  const std::size_t n = state.active.size();
  const std::size_t a = state.active.next(0);
  if (a >= n) internal_failure("at least one active node");
  const std::size_t b = state.active.next(a + 1);
  if (b >= n) internal_failure("exactly two active nodes");

  const double half = state.matrix.get(a, b) * 0.5;
  std::unique_ptr<TreeNode> left = detail::take_node(state, a, "node i exists");
  std::unique_ptr<TreeNode> right = detail::take_node(state, b, "node j exists");
  left->branch_length = half;
  right->branch_length = half;
  return TreeNode::inner(std::move(left), std::move(right), state.next_index++);
}

TreeResult build_tree(DistMat matrix, RowTotals totals, const StopCheck& should_stop,
                      JoinSteps join_steps) {
  NJState state(std::move(matrix), std::move(totals));
  const std::size_t n = state.matrix.size();
  if (n == 0) return std::unexpected(std::string("Empty distance matrix"));
  if (n == 1) return std::move(state.nodes[0]);
  StopPoller poller(should_stop);
  return join_steps(state, poller);
}

namespace detail {

std::unique_ptr<TreeNode> take_node(NJState& state, std::size_t slot, const char* check) {
  std::unique_ptr<TreeNode> node = std::move(state.nodes[slot]);
  if (!node) internal_failure(check);
  return node;
}

}  // namespace detail

}  // namespace nj
