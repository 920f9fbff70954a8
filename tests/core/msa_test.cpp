// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nj/error.hpp"
#include "msa.hpp"

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

}  // namespace
}  // namespace nj
