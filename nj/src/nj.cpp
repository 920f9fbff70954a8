// SPDX-License-Identifier: MIT
#include "nj/nj.hpp"

#include <optional>

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

std::size_t ActiveSet::next(std::size_t s) const noexcept {
  if (s >= n_) return n_;
  std::size_t w = s / 64;
  std::uint64_t word = words_[w] & (~std::uint64_t{0} << (s % 64));
  while (word == 0) {
    if (++w == words_.size()) return n_;
    word = words_[w];
  }
  return w * 64 + static_cast<std::size_t>(std::countr_zero(word));
}

NJState::NJState(DistMat matrix_in)
    : matrix(std::move(matrix_in)), active(matrix.size()), next_index(matrix.size()) {
  const std::size_t n = matrix.size();
  nodes.reserve(n);
  for (std::size_t s = 0; s < n; ++s) nodes.push_back(TreeNode::leaf(matrix.names[s], s));
  row_sums.assign(n, 0.0);
  for (std::size_t s = 0; s < n; ++s) {
    double sum = 0.0;
    for (std::size_t t = 0; t < n; ++t) sum += matrix.get(s, t);
    row_sums[s] = sum;
  }
}

namespace {

struct BestPair {
  std::size_t i = 0;
  std::size_t j = 0;
  double q = 0.0;
};

// Visits the live pairs with i ascending and, for each i, j ascending below
// i. A later pair replaces the best unless best.q <= q: ties go to the pair
// met first, and a NaN on either side lets the later pair win.
std::optional<BestPair> scan_all_pairs(const NJState& state, double m) {
  std::optional<BestPair> best;
  const std::vector<double>& d = state.matrix.distances;
  const std::vector<double>& r = state.row_sums;
  const std::size_t n = state.active.size();
  for (std::size_t i = state.active.next(0); i < n; i = state.active.next(i + 1)) {
    const std::size_t row = pair_index(0, i);
    for (std::size_t j = state.active.next(0); j < i; j = state.active.next(j + 1)) {
      const double q = ((m - 2.0) * d[row + j] - r[i]) - r[j];
      if (!best || !(best->q <= q)) best = BestPair{i, j, q};
    }
  }
  return best;
}

std::unique_ptr<TreeNode> take_node(NJState& state, std::size_t slot, const char* check) {
  std::unique_ptr<TreeNode> node = std::move(state.nodes[slot]);
  if (!node) internal_failure(check);
  return node;
}

}  // namespace

void join_pair(NJState& state, std::size_t i, std::size_t j, double m) {
  std::vector<double>& r = state.row_sums;
  DistMat& matrix = state.matrix;
  const double d_ij = matrix.get(i, j);
  const double length_i = clamp_length(0.5 * d_ij + (r[i] - r[j]) / ((m - 2.0) + (m - 2.0)));
  const double length_j = clamp_length(d_ij - length_i);

  std::unique_ptr<TreeNode> from_i = take_node(state, i, "node i exists");
  std::unique_ptr<TreeNode> from_j = take_node(state, j, "node j exists");
  from_i->branch_length = length_i;
  from_j->branch_length = length_j;
  state.nodes[i] = TreeNode::inner(std::move(from_i), std::move(from_j), state.next_index++);

  r[i] = r[i] - d_ij;
  const std::size_t n = state.active.size();
  for (std::size_t k = state.active.next(0); k < n; k = state.active.next(k + 1)) {
    if (k == i || k == j) continue;
    const double d_ik = matrix.get(i, k);
    const double d_jk = matrix.get(j, k);
    const double e = ((d_ik + d_jk) - d_ij) * 0.5;
    r[i] = (r[i] - d_ik) + e;
    r[k] = e + ((r[k] - d_ik) - d_jk);
    matrix.set(i, k, e);
  }
  r[j] = 0.0;
  state.active.remove(j);
}

std::expected<std::unique_ptr<TreeNode>, std::string> final_join(NJState& state) {
  const std::uint64_t live = state.active.count();
  if (live != 2) return std::unexpected(fill("Expected 2 active nodes but found {}", live));
  const std::size_t n = state.active.size();
  const std::size_t a = state.active.next(0);
  if (a >= n) internal_failure("at least one active node");
  const std::size_t b = state.active.next(a + 1);
  if (b >= n) internal_failure("exactly two active nodes");

  const double half = state.matrix.get(a, b) * 0.5;
  std::unique_ptr<TreeNode> left = take_node(state, a, "node i exists");
  std::unique_ptr<TreeNode> right = take_node(state, b, "node j exists");
  left->branch_length = half;
  right->branch_length = half;
  return TreeNode::inner(std::move(left), std::move(right), state.next_index++);
}

std::expected<std::unique_ptr<TreeNode>, std::string> run(NJState state,
                                                          const StopCheck& should_stop) {
  const std::size_t n = state.matrix.size();
  if (n == 0) return std::unexpected(std::string("Empty distance matrix"));
  if (n == 1) return std::move(state.nodes[0]);

  StopPoller poller(should_stop);
  for (std::size_t step = 0; step + 2 < n; ++step) {
    const double m = static_cast<double>(state.active.count());
    const std::optional<BestPair> best = scan_all_pairs(state, m);
    if (!best) return std::unexpected(std::string("No pair found"));
    join_pair(state, best->i, best->j, m);
    const auto live = static_cast<std::uint64_t>(m);
    poller.spend(live * live / 2);
  }
  return final_join(state);
}

}  // namespace nj
