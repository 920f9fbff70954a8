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
#include "evolved_alignment.hpp"

namespace nj {
namespace {

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

std::vector<std::string> names_for(std::size_t n) {
  std::vector<std::string> names;
  for (std::size_t s = 0; s < n; ++s) names.push_back("s" + std::to_string(s));
  return names;
}

// Runs both engines on a copy of `matrix`; true when they agree exactly.
::testing::AssertionResult engines_agree(const DistMat& matrix) {
  const std::string plain = outcome(neighbor_joining_plain(matrix));
  const std::string fast = outcome(neighbor_joining(matrix));
  if (plain == fast) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "n = " << matrix.size() << "\nplain: " << plain
                                       << "\nfast:  " << fast;
}

// Alignments that make ties: few columns, few letters, repeated rows.
template <Alphabet A>
MSA<A> tie_prone_alignment(std::mt19937_64& rng, std::size_t n, std::size_t length,
                           const std::string& letters) {
  std::uniform_int_distribution<std::size_t> letter(0, letters.size() - 1);
  std::bernoulli_distribution repeat(0.3);
  MSA<A> msa;
  std::vector<std::uint8_t> previous;
  for (std::size_t s = 0; s < n; ++s) {
    std::string text(length, ' ');
    for (char& c : text) c = letters[letter(rng)];
    std::vector<std::uint8_t> row = encode<A>(text);
    if (s > 0 && repeat(rng)) {
      row = msa.sequences[std::uniform_int_distribution<std::size_t>(0, s - 1)(rng)];
    }
    (void)msa.add_row("s" + std::to_string(s), std::move(row));
  }
  return msa;
}

DistMat alignment_matrix(std::mt19937_64& rng, std::size_t n) {
  const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 12)(rng);
  const std::size_t kind = std::uniform_int_distribution<std::size_t>(0, 4)(rng);
  static const std::vector<std::string> dna_letters = {"AC", "AG", "ACGT", "ACGTN-", "A-"};
  static const std::vector<std::string> protein_letters = {"AR", "ARNDW", "ARX-",
                                                           "ACDEFGHIKLMNPQRSTVWY"};
  if (kind < 3) {
    const std::string& letters = dna_letters[rng() % dna_letters.size()];
    const auto model = static_cast<SubstitutionModel>(kind);  // PDiff, JukesCantor, Kimura2P
    return DistanceWorkspace().from_msa(tie_prone_alignment<DNA>(rng, n, length, letters), model);
  }
  const std::string& letters = protein_letters[rng() % protein_letters.size()];
  const SubstitutionModel model = kind == 3 ? SubstitutionModel::PDiff : SubstitutionModel::Poisson;
  return DistanceWorkspace().from_msa(tie_prone_alignment<Protein>(rng, n, length, letters), model);
}

// Direct matrices: small sets of values (many ties, zeros of both signs,
// negative values), continuous values, the non-finite cases, huge values
// whose products and sums overflow (Q of -infinity, ties among them, sums
// that overflow part way through a run), and a few huge values among small.
DistMat direct_matrix(std::mt19937_64& rng, std::size_t n) {
  DistMat matrix = DistMat::zeros(names_for(n));
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const std::size_t kind = std::uniform_int_distribution<std::size_t>(0, 8)(rng);
  static const std::vector<double> small_set = {0.0, -0.0, 0.25, 0.5, 1.0, 1.0, 2.0, 3.0};
  static const std::vector<double> signed_set = {-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 2.0, 4.0};
  for (double& d : matrix.distances) {
    switch (kind) {
      case 0: d = small_set[rng() % small_set.size()]; break;
      case 1: d = signed_set[rng() % signed_set.size()]; break;
      case 2: d = std::round(uniform(rng) * 8.0) / 8.0; break;
      case 3: d = uniform(rng); break;
      case 4: d = uniform(rng) < 0.02 ? (uniform(rng) < 0.5 ? inf : nan) : uniform(rng); break;
      case 5: d = (uniform(rng) < 0.5 ? -1.0 : 1.0) * 0x1p1020 * (1.0 + uniform(rng)); break;
      case 6:
        d = (uniform(rng) < 0.8 ? -1.0 : 1.0) * 0x1p1019 * std::round(1.0 + 3.0 * uniform(rng));
        break;
      case 7: d = uniform(rng) < 0.1 ? 0x1p1000 * uniform(rng) : uniform(rng); break;
      default: d = 1.0; break;
    }
  }
  return matrix;
}

TEST(FastEngine, MatchesThePlainEngineBitForBit) {
  const std::uint64_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  constexpr int inputs = 10000;
  int differences = 0;
  for (int input = 0; input < inputs && differences < 5; ++input) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
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
