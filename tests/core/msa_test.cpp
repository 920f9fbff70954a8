// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "msa.hpp"
#include "nj/error.hpp"
#include "os_random.hpp"

namespace nj {
namespace {

using Row = std::vector<std::uint8_t>;

TEST(Msa, EncodesRowsInInputOrder) {
  struct Case {
    const char* text;
    Row dna;
    Row protein;
  };
  const std::vector<Case> cases = {
      {"ACGT", {0, 1, 2, 3}, {0, 4, 7, 16}},
      {"acgt", {0, 1, 2, 3}, {20, 20, 20, 20}},
      {"NU.?-", {4, 4, 4, 4, 5}, {2, 20, 20, 20, 21}},
      {"XBZ*", {4, 4, 4, 4}, {20, 20, 20, 20}},
      {"\xC3\xA9", {4, 4}, {20, 20}},  // one e-acute: two bytes, two columns
      {"", {}, {}},
  };
  for (const Case& c : cases) {
    const auto dna = MSA<DNA>::from_iter({{"id", c.text}});
    const auto protein = MSA<Protein>::from_iter({{"id", c.text}});
    EXPECT_EQ(dna.sequences.at(0), c.dna) << c.text;
    EXPECT_EQ(protein.sequences.at(0), c.protein) << c.text;
    EXPECT_EQ(dna.length, c.dna.size());
  }
  const auto all = MSA<Protein>::from_iter({{"p", "ARNDCQEGHILKMFPSTWYV"}});
  for (std::uint8_t k = 0; k < 20; ++k) EXPECT_EQ(all.sequences[0][k], k);
}

TEST(Msa, KeepsIdentifiersAndCounts) {
  const auto msa = MSA<DNA>::from_iter({{"a", "AC"}, {"a", "GT"}, {"b", "--"}});
  EXPECT_EQ(msa.identifiers, (std::vector<std::string>{"a", "a", "b"}));
  EXPECT_EQ(msa.sequence_count, 3u);
  EXPECT_EQ(msa.length, 2u);

  const auto empty = MSA<DNA>::from_iter({});
  EXPECT_EQ(empty.sequence_count, 0u);
  EXPECT_EQ(empty.length, 0u);

  const auto blanks = MSA<Protein>::from_iter({{"x", ""}, {"y", ""}});
  EXPECT_EQ(blanks.sequence_count, 2u);
  EXPECT_EQ(blanks.length, 0u);
}

TEST(Msa, UnequalLengthsAreAnInternalFailureNamingTheFirstOffender) {
  struct Case {
    std::vector<SequencePair> pairs;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"a", "ACGTACGT"}, {"b", "ACGTACG"}},
       "All sequences in an MSA must have the same length: \"All sequences must have the same "
       "length. Expected 8, got 7\""},
      {{{"a", "AAAAA"}, {"b", "CCCCC"}, {"c", "GGGG"}, {"d", "T"}},
       "All sequences in an MSA must have the same length: \"All sequences must have the same "
       "length. Expected 5, got 4\""},
      // Lengths are byte counts: one e-acute is two columns.
      {{{"a", "AC"}, {"b", "\xC3\xA9" "A"}},
       "All sequences in an MSA must have the same length: \"All sequences must have the same "
       "length. Expected 2, got 3\""},
  };
  for (const Case& c : cases) {
    try {
      (void)MSA<DNA>::from_iter(c.pairs);
      ADD_FAILURE() << "no failure for " << c.message;
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(Msa, AddRowRefusesAMismatchWithoutChangingTheRecord) {
  MSA<DNA> msa;
  ASSERT_TRUE(msa.add_row("a", {0, 1, 2}));
  const auto refused = msa.add_row("b", {0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "All sequences must have the same length. Expected 3, got 1");
  EXPECT_EQ(msa.sequence_count, 1u);
  EXPECT_EQ(msa.identifiers.size(), 1u);
}

// A seed source that always gives `seed` and counts how often it is asked.
SeedSource fixed_seed(std::uint64_t seed, int* calls) {
  return [seed, calls]() -> std::expected<std::uint64_t, std::string> {
    ++*calls;
    return seed;
  };
}

// From state 0 the ten draws for ten columns are 0, 8, 3, 4, 4, 5, 8, 1, 9, 6;
// alignments of no column or one column draw nothing or column 0 alone.
TEST(BootstrapColumns, OneSeedGivesTheDrawsInDrawOrder) {
  struct Case {
    std::uint64_t length;
    std::uint64_t seed;
    std::vector<std::uint64_t> columns;
  };
  const std::vector<Case> cases = {
      {10, 0, {0, 8, 3, 4, 4, 5, 8, 1, 9, 6}},
      {0, 0, {}},
      {0, ~std::uint64_t{0}, {}},
      {1, 0, {0}},
      {1, ~std::uint64_t{0}, {0}},
      {1, 42, {0}},
  };
  for (const Case& c : cases) {
    int calls = 0;
    const auto columns = bootstrap_columns(c.length, fixed_seed(c.seed, &calls));
    ASSERT_TRUE(columns) << columns.error();
    EXPECT_EQ(*columns, c.columns) << "length " << c.length << ", seed " << c.seed;
    EXPECT_EQ(calls, 1);
  }
}

TEST(BootstrapColumns, EveryDrawHasItsOwnOperatingSystemSeed) {
  constexpr std::uint64_t length = 60;
  std::vector<std::vector<std::uint64_t>> draws;
  for (int replicate = 0; replicate < 5; ++replicate) {
    const auto columns = bootstrap_columns(length);
    ASSERT_TRUE(columns) << columns.error();
    ASSERT_EQ(columns->size(), length);
    for (const std::uint64_t column : *columns) EXPECT_LT(column, length);
    draws.push_back(*columns);
  }
  for (std::size_t a = 0; a < draws.size(); ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      EXPECT_NE(draws[a], draws[b]) << "every call has its own seed";
    }
  }
}

TEST(BootstrapColumns, FailingSeedSourceIsReported) {
  const SeedSource failing = []() -> std::expected<std::uint64_t, std::string> {
    return std::unexpected(os_random::describe_error(EIO));
  };
  const auto columns = bootstrap_columns(4, failing);
  ASSERT_FALSE(columns);
  EXPECT_EQ(columns.error(), "RNG error: Input/output error");
}

}  // namespace
}  // namespace nj
