// SPDX-License-Identifier: MIT
// Fuzzes the fast Neighbor-Joining engine against the plain one: for any
// matrix (few distinct values and so many ties, arbitrary doubles with
// infinities, NaN and values that overflow, or Hamming distances of short
// rows) both must build the same tree, node for node and bit for bit, or
// return the same error. A stop check may cancel the fast run part way.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <limits>
#include <optional>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "distance/matrix.hpp"
#include "engine/neighbor_joining.hpp"
#include "fuzz_checks.hpp"
#include "nj/stop.hpp"

namespace {

using nj::fuzz::check;

double small_value(FuzzedDataProvider& data) {
  return static_cast<double>(data.ConsumeIntegralInRange<int>(0, 6)) * 0.125;
}

double any_value(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return std::numeric_limits<double>::infinity();
    case 1: return std::numeric_limits<double>::quiet_NaN();
    case 2: return -small_value(data);
    case 3: return data.ConsumeFloatingPoint<double>();
    case 4: return 1e308;
    default: return small_value(data);
  }
}

nj::DistMat matrix_from(FuzzedDataProvider& data) {
  const auto n = data.ConsumeIntegralInRange<std::size_t>(0, 90);
  const int mode = data.ConsumeIntegralInRange<int>(0, 2);
  std::vector<std::string> names;
  for (std::size_t k = 0; k < n; ++k) names.push_back("s" + std::to_string(k));
  nj::DistMat matrix = nj::DistMat::zeros(std::move(names));
  std::vector<std::uint64_t> rows(n);
  for (std::uint64_t& row : rows) row = data.ConsumeIntegral<std::uint16_t>();
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      double value = 0.0;
      if (mode == 0) value = small_value(data);
      if (mode == 1) value = any_value(data);
      if (mode == 2) value = static_cast<double>(std::popcount(rows[i] ^ rows[j])) / 16.0;
      matrix.set(i, j, value);
    }
  }
  return matrix;
}

bool same_bits(const std::optional<double>& a, const std::optional<double>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

// Walks both trees side by side without recursion.
void check_same_tree(const nj::TreeNode& fast, const nj::TreeNode& plain) {
  std::vector<std::pair<const nj::TreeNode*, const nj::TreeNode*>> stack{{&fast, &plain}};
  while (!stack.empty()) {
    const auto [a, b] = stack.back();
    stack.pop_back();
    check(a->index == b->index && a->label == b->label && same_bits(a->branch_length, b->branch_length) &&
              a->is_leaf() == b->is_leaf(),
          "the same node", nj::to_newick(plain));
    if (a->is_leaf()) continue;
    stack.emplace_back(a->children->left.get(), b->children->left.get());
    stack.emplace_back(a->children->right.get(), b->children->right.get());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const auto stop_after = data.ConsumeIntegralInRange<std::uint64_t>(0, 3);
  nj::DistMat matrix = matrix_from(data);
  auto plain = nj::neighbor_joining_plain(matrix);

  std::uint64_t polls = 0;
  const nj::StopCheck stop = [&] { return ++polls == stop_after; };
  try {
    auto fast = nj::neighbor_joining(std::move(matrix), stop);
    check(fast.has_value() == plain.has_value(), "both engines succeed or both fail");
    if (!plain) {
      check(fast.error() == plain.error(), "the same error", plain.error());
    } else {
      check_same_tree(**fast, **plain);
    }
  } catch (const nj::Cancelled&) {
    check(stop_after != 0, "cancelled only when asked");
  }
  return 0;
}
