// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "nj/error.hpp"
#include "nj/lib.hpp"

namespace nj {
namespace {

using M = SubstitutionModel;

NJConfig config_of(std::vector<std::pair<std::string, std::string>> rows, M model,
                   std::uint64_t replicates = 0) {
  NJConfig config;
  for (auto& [id, seq] : rows) config.msa.push_back({std::move(id), std::move(seq)});
  config.substitution_model = model;
  config.n_bootstrap_samples = replicates;
  return config;
}

std::string outcome(NJConfig config) {
  auto result = nj(std::move(config));
  return result ? *result : "error: " + result.error();
}

TEST(Driver, AlphabetDetectionAndModelChecks) {
  const std::string dna_refuses_poisson = "error: Poisson is a protein model; cannot use with DNA";
  const std::string protein_refuses = "error: Selected model is for DNA; cannot use with Protein";
  struct Case {
    std::vector<std::pair<std::string, std::string>> rows;
    M model;
    std::string expected;  // a Newick text or "error: ..."
  };
  const std::vector<Case> cases = {
      {{}, M::PDiff, "error: Input MSA is empty"},
      {{}, M::Poisson, "error: Input MSA is empty"},
      {{{"a", "acgt"}, {"b", "acga"}}, M::Poisson, dna_refuses_poisson},
      {{{"a", "acgt"}, {"b", "acga"}}, M::PDiff, "(a:0.125,b:0.125);"},
      {{{"a", "UN-U"}, {"b", "NNNU"}}, M::Poisson, dna_refuses_poisson},
      {{{"a", ""}, {"b", ""}}, M::Poisson, dna_refuses_poisson},
      {{{"a", ""}, {"b", ""}}, M::PDiff, "(a:NaN,b:NaN);"},
      {{{"a", "ACG?"}, {"b", "ACGT"}}, M::JukesCantor, protein_refuses},
      {{{"a", "ACG?"}, {"b", "ACGT"}}, M::Kimura2P, protein_refuses},
      // As protein, C G T are residues and ? is unknown: one difference in four.
      {{{"a", "ACG?"}, {"b", "ACGT"}}, M::PDiff, "(a:0.125,b:0.125);"},
      {{{"a", "ACGT"}, {"b", "ACG."}}, M::Poisson, "(a:0.144,b:0.144);"},
      {{{"a", "ACGX"}, {"b", "ACGT"}}, M::Kimura2P, protein_refuses},
      {{{"a", "ACG*"}, {"b", "ACGT"}}, M::JukesCantor, protein_refuses},
      {{{"a", "AC\xC3\xA9"}, {"b", "ACGT"}}, M::JukesCantor, protein_refuses},
      {{{"only", "ACGT"}}, M::Kimura2P, "only;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(config_of(c.rows, c.model)), c.expected);
  }
}

TEST(Driver, UnequalLengthsFailBeforeTheModelCheck) {
  try {
    (void)nj(config_of({{"a", "ACGT"}, {"b", "ACG"}}, M::Poisson));
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()),
              "All sequences in an MSA must have the same length: \"All sequences must have the "
              "same length. Expected 4, got 3\"");
  }
}

// Progress comes after each replicate and before the main tree: the stop
// check, asked before every replicate and before the main tree, shows the
// interleaving.
TEST(Driver, ReportsProgressAfterEachReplicateThenBuildsTheMainTree) {
  std::vector<std::string> events;
  const ProgressFn progress = [&](std::uint64_t done, std::uint64_t total) {
    events.push_back(std::to_string(done) + "/" + std::to_string(total));
  };
  const StopCheck check = [&] {
    events.emplace_back("check");
    return false;
  };
  auto rows = std::vector<std::pair<std::string, std::string>>{
      {"a", "AAAAAAAAAA"}, {"b", "AAAAAAAACC"}, {"c", "AACCCCCCCC"}, {"d", "CCCCCCCCCC"}};
  auto result = nj(config_of(rows, M::PDiff, 3), progress, check);
  ASSERT_TRUE(result);
  const std::vector<std::string> expected = {"check", "1/3", "check", "2/3",
                                             "check", "3/3", "check"};
  std::vector<std::string> coarse;
  for (const std::string& e : events) {
    if (coarse.empty() || e != "check" || coarse.back() != "check") coarse.push_back(e);
  }
  EXPECT_EQ(coarse, expected);

  events.clear();
  auto empty = nj(config_of({}, M::PDiff, 3), progress);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error(), "Input MSA is empty");
  EXPECT_TRUE(events.empty());
}

TEST(Driver, SingleSequenceStillReportsEveryReplicate) {
  std::vector<std::uint64_t> done;
  const ProgressFn progress = [&](std::uint64_t j, std::uint64_t total) {
    EXPECT_EQ(total, 5u);
    done.push_back(j);
  };
  auto result = nj(config_of({{"solo", "ACGT"}}, M::JukesCantor, 5), progress);
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "solo;");
  EXPECT_EQ(done, (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
}

// Supports are raw counts of at most N on inner nodes below the root; the
// tree itself does not depend on the replicates.
TEST(Driver, BootstrapSupportsLabelTheMainTree) {
  const auto rows = std::vector<std::pair<std::string, std::string>>{
      {"a", "AAAAAAAAAAAAAAAAAAAA"}, {"b", "AAAAAAAAAAAAAAAAAACC"},
      {"c", "AAAAAAAAAAAACCCCCCCC"}, {"d", "AAAAAAAACCCCCCCCCCCC"},
      {"e", "CCCCCCCCCCCCCCCCCCCC"}};
  const std::string plain = outcome(config_of(rows, M::Kimura2P));
  const std::string supported = outcome(config_of(rows, M::Kimura2P, 7));
  ASSERT_EQ(plain.find("error"), std::string::npos) << plain;
  const std::regex label(R"(\)(\d+))");
  EXPECT_EQ(std::regex_replace(supported, label, ")"), plain);
  int labels = 0;
  for (auto it = std::sregex_iterator(supported.begin(), supported.end(), label);
       it != std::sregex_iterator(); ++it) {
    ++labels;
    EXPECT_LE(std::stoul((*it)[1]), 7u) << supported;
  }
  EXPECT_GT(labels, 0) << supported;
  EXPECT_FALSE(std::regex_search(supported, std::regex(R"(\)\d+;$)")))
      << "the root carries no support: " << supported;
}

TEST(Driver, StopsWhenAskedAndPassesCallbackExceptionsThrough) {
  const auto rows = std::vector<std::pair<std::string, std::string>>{
      {"a", "ACGTACGT"}, {"b", "ACGTACGA"}, {"c", "ACGAACGA"}};
  int replicates_seen = 0;
  const ProgressFn count = [&](std::uint64_t, std::uint64_t) { ++replicates_seen; };
  const StopCheck after_two = [&] { return replicates_seen >= 2; };
  EXPECT_THROW((void)nj(config_of(rows, M::PDiff, 1000), count, after_two), Cancelled);
  EXPECT_EQ(replicates_seen, 2);

  struct CallbackFailure {};
  const ProgressFn failing = [](std::uint64_t, std::uint64_t) { throw CallbackFailure{}; };
  EXPECT_THROW((void)nj(config_of(rows, M::PDiff, 3), failing), CallbackFailure);

  const StopCheck at_once = [] { return true; };
  EXPECT_THROW((void)nj(config_of(rows, M::PDiff, 0), {}, at_once), Cancelled);
}

}  // namespace
}  // namespace nj
