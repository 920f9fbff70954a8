// SPDX-License-Identifier: MIT
// The fast engine against the plain one: the same tree, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "distance/matrix.hpp"
#include "distance/workspace.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/offsets.hpp"
#include "differential_inputs.hpp"
#include "evolved_alignment.hpp"

namespace nj {
namespace {

using testing::alignment_matrix;
using testing::direct_matrix;
using testing::names_for;
using testing::outbreak_alignment;
using testing::star_alignment;
using testing::tie_prone_alignment;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::string bits_of(double value) {
  char text[24];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
  return text;
}

// Everything a tree holds, in preorder: index, label, branch-length bits and
// shape, so that two dumps are equal exactly when the trees are.
std::string dump(const TreeNode& root) {
  std::string out;
  std::vector<const TreeNode*> pending{&root};
  while (!pending.empty()) {
    const TreeNode* node = pending.back();
    pending.pop_back();
    out += node->is_leaf() ? "L" : "I";
    out += std::to_string(node->index);
    if (node->label) {
      if (const Name* name = std::get_if<Name>(&*node->label)) {
        out += "'" + name->text + "'";
      } else {
        out += "#" + std::to_string(std::get<Support>(*node->label).count);
      }
    }
    out += node->branch_length ? ":" + bits_of(*node->branch_length) : ":-";
    out += " ";
    if (!node->is_leaf()) {
      pending.push_back(node->children->right.get());
      pending.push_back(node->children->left.get());
    }
  }
  return out;
}

// A fresh seed per run, or the one in NJ_TEST_SEED to repeat a failure.
std::uint64_t test_seed() {
  if (const char* fixed = std::getenv("NJ_TEST_SEED")) return std::strtoull(fixed, nullptr, 10);
  return std::random_device{}();
}

std::string outcome(const std::expected<std::unique_ptr<TreeNode>, std::string>& result) {
  return result ? dump(**result) : "error: " + result.error();
}

// Runs both engines on a copy of `matrix`; true when they agree exactly.
::testing::AssertionResult engines_agree(const DistMat& matrix) {
  const std::string plain = outcome(neighbor_joining_plain(matrix));
  const std::string fast = outcome(neighbor_joining(matrix));
  if (plain == fast) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "n = " << matrix.size() << "\nplain: " << plain
                                       << "\nfast:  " << fast;
}

TEST(FastEngine, MatchesThePlainEngineBitForBit) {
  const std::uint64_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  constexpr int inputs = 10000;
  int differences = 0;
  for (int input = 0; input < inputs && differences < 5; ++input) {
    // Below 64 sequences the fast engine scans; a third of the inputs lie above.
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 100)(rng);
    const DistMat matrix = input % 2 == 0 ? alignment_matrix(rng, n) : direct_matrix(rng, n);
    const ::testing::AssertionResult agree = engines_agree(matrix);
    if (!agree) ++differences;
    EXPECT_TRUE(agree) << "input " << input;
  }
  EXPECT_EQ(differences, 0);
}

TEST(FastEngine, MatchesThePlainEngineOnLargerInputs) {
  const std::uint64_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (const std::size_t n : {std::size_t{300}, std::size_t{700}}) {
    const testing::EvolvedAlignment evolved = testing::evolve_dna(n, 300, rng());
    EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(evolved.to_msa(), SubstitutionModel::Kimura2P)));
  }
  // Short rows of few letters: many equal distances at every step, all finite.
  EXPECT_TRUE(engines_agree(
      DistanceWorkspace().from_msa(tie_prone_alignment<DNA>(rng, 1000, 8, "ACGT"), SubstitutionModel::PDiff)));
  EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(tie_prone_alignment<Protein>(rng, 400, 60, "ARND"),
                                              SubstitutionModel::Poisson)));
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  DistMat coarse = DistMat::zeros(names_for(500));
  for (double& d : coarse.distances) d = std::round(uniform(rng) * 16.0) / 16.0;
  EXPECT_TRUE(engines_agree(coarse));
  // Saturated distances hand the whole run to the scanning fallback, whose
  // rows are tested four pairs at a time; NaN makes the best pair move on.
  for (const double saturated : {inf, nan}) {
    DistMat wide = coarse;
    for (double& d : wide.distances) d = uniform(rng) < 0.002 ? saturated : d;
    EXPECT_TRUE(engines_agree(wide));
  }
}

TEST(FastEngine, MatchesThePlainEngineOnNearIdenticalAndSaturatedInputs) {
  const std::uint64_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (const auto model : {SubstitutionModel::JukesCantor, SubstitutionModel::Kimura2P}) {
    for (const std::size_t n : {std::size_t{40}, std::size_t{150}, std::size_t{400}}) {
      EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(outbreak_alignment(rng, n, 3000), model)));
      EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(star_alignment(rng, n), model)));
      // Random rows of 20 columns: most distances infinite.
      EXPECT_TRUE(engines_agree(
          DistanceWorkspace().from_msa(tie_prone_alignment<DNA>(rng, n, 20, "ACGT"), model)));
    }
  }
}

// The bounds with offsets taken out, and the bounds without, on every kind
// of input, whatever the engine would choose by itself.
TEST(FastEngine, MatchesThePlainEngineWithAndWithoutOffsets) {
  const std::uint64_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  struct Restore {
    ~Restore() { fast::set_offset_policy(fast::OffsetPolicy::automatic); }
  } restore;
  for (const auto policy : {fast::OffsetPolicy::always, fast::OffsetPolicy::never}) {
    fast::set_offset_policy(policy);
    std::mt19937_64 rng(seed);
    for (int input = 0; input < 400; ++input) {
      const std::size_t n = std::uniform_int_distribution<std::size_t>(64, 120)(rng);
      const DistMat matrix = input % 2 == 0 ? alignment_matrix(rng, n) : direct_matrix(rng, n);
      EXPECT_TRUE(engines_agree(matrix)) << "input " << input;
    }
    for (const std::size_t n : {std::size_t{70}, std::size_t{300}}) {
      const auto model = SubstitutionModel::Kimura2P;
      EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(outbreak_alignment(rng, n, 3000), model)));
      EXPECT_TRUE(engines_agree(DistanceWorkspace().from_msa(star_alignment(rng, n), model)));
      EXPECT_TRUE(engines_agree(
          DistanceWorkspace().from_msa(tie_prone_alignment<DNA>(rng, 4 * n, 8, "ACGT"), SubstitutionModel::PDiff)));
    }
  }
}

TEST(FastEngine, KeepsTheEdgeCasesOfThePlainEngine) {
  const std::vector<std::pair<std::vector<double>, std::size_t>> cases = {
      {{}, 0},
      {{}, 1},
      {{0.3}, 2},
      {{-0.0}, 2},
      {{nan}, 2},
      {{1, 1, 1, 1, 1, 1}, 4},
      {{1, 0.25, 0.25}, 3},
      {{0.3, 0.5, 0.6}, 3},
      {{inf, 0.2, 0.3}, 3},
      {{nan, 0.2, 0.3}, 3},
      {{-0.0, 0.5, 0.5}, 3},
      {{5, 9, 10, 9, 10, 8, 8, 9, 7, 3}, 5},
  };
  for (const auto& [lower, n] : cases) {
    DistMat matrix = DistMat::zeros(names_for(n));
    matrix.distances = lower;
    EXPECT_TRUE(engines_agree(matrix));
  }
}

TEST(FastEngine, StopCheckAbandonsTheRun) {
  // Enough joins that the engine polls several times after its set-up.
  constexpr std::size_t n = 800;
  DistMat matrix = DistMat::zeros(names_for(n));
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (double& d : matrix.distances) d = uniform(rng);
  int asked = 0;
  const StopCheck stop_soon = [&] { return ++asked >= 2; };
  EXPECT_THROW((void)neighbor_joining(matrix, stop_soon), Cancelled);
  EXPECT_EQ(asked, 2);
  const StopCheck never = [] { return false; };
  EXPECT_TRUE(neighbor_joining(std::move(matrix), never));
}

}  // namespace
}  // namespace nj
