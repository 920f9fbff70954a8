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

NJState::NJState(DistMat matrix_in)
    : matrix(std::move(matrix_in)), active(matrix.size()), next_index(matrix.size()) {
  const std::size_t n = matrix.size();
  nodes.reserve(n);
  for (std::size_t s = 0; s < n; ++s) nodes.push_back(TreeNode::leaf(matrix.names[s], s));
  // Every sum adds its terms t = 0, 1, ..., n-1 in order. Row h of the
  // triangle holds the terms t < h of sum h and the term t = h of every sum
  // below h, so one pass over the rows in order adds each term in its turn
  // while reading the matrix sequentially. Four rows go together, so that
  // their own sums, each a chain of dependent additions, overlap.
  row_sums.assign(n, 0.0);
  const double* d = matrix.distances.data();
  double* sums = row_sums.data();
  std::size_t h = 0;
  for (; h + 4 <= n; h += 4) {
    const double* row[4] = {d + pair_index(0, h), d + pair_index(0, h + 1),
                            d + pair_index(0, h + 2), d + pair_index(0, h + 3)};
    double own[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t t = 0; t < h; ++t) {
      own[0] += row[0][t];
      own[1] += row[1][t];
      own[2] += row[2][t];
      own[3] += row[3][t];
      sums[t] = (((sums[t] + row[0][t]) + row[1][t]) + row[2][t]) + row[3][t];
    }
    // The terms among the four rows themselves, in the same order.
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t t = h; t < h + k; ++t) {
        own[k] += row[k][t];
        sums[t] += row[k][t];
      }
      sums[h + k] = own[k] + 0.0;  // the diagonal term
    }
  }
  for (; h < n; ++h) {
    const double* row = d + pair_index(0, h);
    double own = 0.0;
    for (std::size_t t = 0; t < h; ++t) {
      own += row[t];
      sums[t] += row[t];
    }
    sums[h] = own + 0.0;
  }
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

TreeResult build_tree(DistMat matrix, const StopCheck& should_stop, JoinSteps join_steps) {
  NJState state(std::move(matrix));
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
