// SPDX-License-Identifier: MIT
// Random alignments as text for the tests of the tool's core.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "nj/toolkit.hpp"

namespace nj::kit::testing {

using Records = std::vector<std::pair<std::string, std::string>>;

/// n rows of `length` symbols from `symbols`, most of them a few changes
/// away from an earlier row (so that distances stay finite), some a copy.
inline Records random_records(std::mt19937_64& random, std::size_t n, std::size_t length,
                              const std::string& symbols) {
  const auto pick = [&] { return symbols[random() % symbols.size()]; };
  Records records;
  for (std::size_t k = 0; k < n; ++k) {
    std::string row(length, ' ');
    if (k == 0 || random() % 4 == 0) {
      for (char& c : row) c = pick();
    } else {
      row = records[random() % k].second;
      for (char& c : row) c = random() % 8 == 0 ? pick() : c;
    }
    records.emplace_back("s" + std::to_string(k), std::move(row));
  }
  return records;
}

inline Alignment encode(const Records& records, MissingRule rule,
                        AlphabetChoice alphabet = AlphabetChoice::automatic) {
  AlignmentBuilder builder(rule, alphabet, "");
  for (const auto& [name, text] : records) {
    if (!builder.add(name, text)) throw std::runtime_error("unequal rows in a test alignment");
  }
  return std::move(builder.finish().value());
}

}  // namespace nj::kit::testing
