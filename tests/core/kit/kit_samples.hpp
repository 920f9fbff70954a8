// SPDX-License-Identifier: MIT
// Random alignments as text for the tests of the tool's core.
#pragma once

#include <cctype>
#include <cstdint>
#include <string_view>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "distance/skip_kernels.hpp"
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

// The skip rule spelled out: a column counts where both hold a residue.
inline nj::detail::SkipCounts skip_counts(const std::string& a, const std::string& b, Residues residues) {
  const auto residue = [&](char c) -> int {
    const std::string_view order = residues == Residues::dna ? "ACGT" : "ARNDCQEGHILKMFPSTWYV";
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t at = order.find(residues == Residues::dna && upper == 'U' ? 'T' : upper);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
  };
  nj::detail::SkipCounts counts;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const int x = residue(a[k]), y = residue(b[k]);
    if (x < 0 || y < 0) continue;
    ++counts.compared;
    if (x == y) continue;
    ++counts.differences;
    if (residues == Residues::dna && (x ^ y) == 2) ++counts.transitions;
  }
  return counts;
}

}  // namespace nj::kit::testing
