// SPDX-License-Identifier: MIT
// Realistic test data: DNA sequences evolved along a random tree.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "msa.hpp"

namespace nj::testing {

/// Leaves of a random tree in random order: names and rows of DNA codes 0..3.
struct EvolvedAlignment {
  std::vector<std::string> names;
  std::vector<std::vector<std::uint8_t>> rows;

  MSA<DNA> to_msa() const {
    MSA<DNA> msa;
    for (std::size_t s = 0; s < names.size(); ++s) (void)msa.add_row(names[s], rows[s]);
    return msa;
  }
};

/// A Yule tree (each lineage splits at rate 1) scaled to `height` expected
/// substitutions per site from root to tip, with every branch's rate varied
/// by a log-normal factor; sequences evolve down it under the Kimura
/// two-parameter model with transition/transversion rate ratio 2.
inline EvolvedAlignment evolve_dna(std::size_t n, std::size_t length, std::uint64_t seed,
                                   double height = 0.25) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const auto exponential = [&](double rate) { return -std::log(1.0 - uniform(rng)) / rate; };

  std::vector<std::size_t> parent{0};
  std::vector<double> born{0.0};
  std::vector<double> branch{0.0};
  std::vector<std::size_t> lineages{0};
  double now = 0.0;
  while (lineages.size() < std::max<std::size_t>(n, 1)) {
    now += exponential(static_cast<double>(lineages.size()));
    const auto pick = static_cast<std::size_t>(uniform(rng) * static_cast<double>(lineages.size()));
    const std::size_t splitting = lineages[pick];
    branch[splitting] = now - born[splitting];
    for (int child = 0; child < 2; ++child) {
      parent.push_back(splitting);
      born.push_back(now);
      branch.push_back(0.0);
    }
    lineages[pick] = parent.size() - 2;
    lineages.push_back(parent.size() - 1);
  }
  now += exponential(static_cast<double>(lineages.size()));
  for (const std::size_t leaf : lineages) branch[leaf] = now - born[leaf];
  std::lognormal_distribution<double> rate_factor(0.0, 0.3);
  for (double& b : branch) b = b / now * height * rate_factor(rng);

  // Substitutions per site t split into transitions (rate kappa * beta) and
  // two kinds of transversion (rate beta each), kappa + 2 = 1 / beta.
  constexpr double kappa = 2.0;
  constexpr double beta = 1.0 / (kappa + 2.0);
  constexpr double alpha = kappa * beta;
  std::vector<std::vector<std::uint8_t>> sequence(parent.size());
  sequence[0].resize(length);
  for (std::uint8_t& code : sequence[0]) code = static_cast<std::uint8_t>(rng() & 3u);
  for (std::size_t v = 1; v < parent.size(); ++v) {
    sequence[v] = sequence[parent[v]];
    const double t = branch[v];
    const double p_transition =
        0.25 + 0.25 * std::exp(-4.0 * beta * t) - 0.5 * std::exp(-2.0 * (alpha + beta) * t);
    const double p_transversion = 0.5 - 0.5 * std::exp(-4.0 * beta * t);
    for (std::uint8_t& code : sequence[v]) {
      const double u = uniform(rng);
      // A=0 C=1 G=2 T=3: a transition flips bit 1, a transversion bit 0 alone or both.
      if (u < p_transition) {
        code ^= 2u;
      } else if (u < p_transition + p_transversion) {
        code ^= (u < p_transition + 0.5 * p_transversion) ? 1u : 3u;
      }
    }
  }
  std::shuffle(lineages.begin(), lineages.end(), rng);
  EvolvedAlignment out;
  for (std::size_t s = 0; s < n; ++s) {
    out.names.push_back("t" + std::to_string(s));
    out.rows.push_back(std::move(sequence[lineages[s]]));
  }
  return out;
}

}  // namespace nj::testing
