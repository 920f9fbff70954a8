// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "msa.hpp"
#include "nj/error.hpp"
#include "os_random.hpp"

namespace nj {
namespace {

using Row = std::vector<std::uint8_t>;

// A seed source that always gives `seed` and counts how often it is asked.
SeedSource fixed_seed(std::uint64_t seed, int* calls) {
  return [seed, calls]() -> std::expected<std::uint64_t, std::string> {
    ++*calls;
    return seed;
  };
}

// From state 0 the ten draws for ten columns are 0, 8, 3, 4, 4, 5, 8, 1, 9, 6.
TEST(Bootstrap, FixedSeedGivesTheDrawnColumnsInDrawOrder) {
  int calls = 0;
  const auto protein = MSA<Protein>::from_iter({{"p", "ARNDCQEGHI"}, {"q", "-WYVTSPFMK"}});
  const auto replicate = bootstrap(protein, fixed_seed(0, &calls));
  ASSERT_TRUE(replicate) << replicate.error();
  EXPECT_EQ(replicate->identifiers, protein.identifiers);
  EXPECT_EQ(replicate->sequences,
            (std::vector<Row>{{0, 8, 3, 4, 4, 5, 8, 1, 9, 6},
                              {21, 12, 19, 16, 16, 15, 12, 17, 11, 14}}));
  EXPECT_EQ(replicate->sequence_count, 2u);
  EXPECT_EQ(replicate->length, 10u);
  EXPECT_EQ(calls, 1);

  const auto dna = MSA<DNA>::from_iter({{"d", "ACGTNacgt-"}});
  const auto dna_replicate = bootstrap(dna, fixed_seed(0, &calls));
  ASSERT_TRUE(dna_replicate) << dna_replicate.error();
  EXPECT_EQ(dna_replicate->sequences, (std::vector<Row>{{0, 3, 3, 4, 4, 0, 3, 1, 5, 1}}));
  EXPECT_EQ(calls, 2);

  // The run draws a replicate's columns alone and builds its matrix from them.
  const auto columns = bootstrap_columns(10, fixed_seed(0, &calls));
  ASSERT_TRUE(columns) << columns.error();
  EXPECT_EQ(*columns, (std::vector<std::uint64_t>{0, 8, 3, 4, 4, 5, 8, 1, 9, 6}));
  EXPECT_EQ(calls, 3);
}

TEST(Bootstrap, ShortAlignments) {
  struct Case {
    std::vector<SequencePair> pairs;
    std::vector<Row> rows;
  };
  const std::vector<Case> cases = {
      {{{"a", ""}, {"b", ""}, {"a", ""}}, {{}, {}, {}}},
      {{{"a", "G"}, {"b", "-"}, {"c", "n"}}, {{2}, {5}, {4}}},
      {{{"only", "T"}}, {{3}}},
  };
  for (const Case& c : cases) {
    for (const std::uint64_t seed : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{42}}) {
      int calls = 0;
      const auto msa = MSA<DNA>::from_iter(c.pairs);
      const auto replicate = bootstrap(msa, fixed_seed(seed, &calls));
      ASSERT_TRUE(replicate) << replicate.error();
      EXPECT_EQ(replicate->identifiers, msa.identifiers);
      EXPECT_EQ(replicate->sequences, c.rows);
      EXPECT_EQ(replicate->sequence_count, msa.sequence_count);
      EXPECT_EQ(replicate->length, msa.length);
      EXPECT_EQ(calls, 1);
    }
  }
}

// Two rows of protein codes make 400 distinct columns, so every column of a
// replicate can be traced back to the column it was drawn from.
TEST(Bootstrap, ReplicatesDrawWholeColumnsFromTheOperatingSystemSeed) {
  std::string first;
  std::string second;
  const std::string residues = "ARNDCQEGHILKMFPSTWYV";
  for (std::size_t c = 0; c < 60; ++c) {
    first += residues[(c * 7) % 20];
    second += residues[(c * 7 / 20) % 20];
  }
  const auto msa = MSA<Protein>::from_iter({{"x", first}, {"y", second}, {"x2", first}});
  std::set<std::pair<std::uint8_t, std::uint8_t>> original;
  for (std::size_t c = 0; c < msa.length; ++c) original.emplace(msa.row(0)[c], msa.row(1)[c]);
  ASSERT_EQ(original.size(), msa.length);

  std::vector<Row> first_rows;
  for (int replicate_number = 0; replicate_number < 5; ++replicate_number) {
    const auto replicate = bootstrap(msa);
    ASSERT_TRUE(replicate) << replicate.error();
    EXPECT_EQ(replicate->identifiers, msa.identifiers);
    EXPECT_EQ(replicate->length, msa.length);
    EXPECT_EQ(replicate->sequences[0], replicate->sequences[2]);  // identical rows stay so
    for (std::size_t c = 0; c < msa.length; ++c) {
      EXPECT_TRUE(original.contains({replicate->row(0)[c], replicate->row(1)[c]})) << c;
    }
    first_rows.push_back(replicate->sequences[0]);
  }
  for (std::size_t a = 0; a < first_rows.size(); ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      EXPECT_NE(first_rows[a], first_rows[b]) << "every call has its own seed";
    }
  }
}

TEST(Bootstrap, FailingSeedSourceIsReportedAndNothingIsBuilt) {
  const auto msa = MSA<DNA>::from_iter({{"a", "ACGT"}, {"b", "ACGA"}});
  const SeedSource failing = [] () -> std::expected<std::uint64_t, std::string> {
    return std::unexpected(os_random::describe_error(EIO));
  };
  const auto replicate = bootstrap(msa, failing);
  ASSERT_FALSE(replicate);
  EXPECT_EQ(replicate.error(), "RNG error: Input/output error");
  const auto columns = bootstrap_columns(msa.length, failing);
  ASSERT_FALSE(columns);
  EXPECT_EQ(columns.error(), "RNG error: Input/output error");
}

TEST(Bootstrap, RowOfTheWrongLengthIsAnInternalFailure) {
  auto msa = MSA<DNA>::from_iter({{"a", "ACGT"}, {"b", "ACGA"}});
  msa.sequences[1].pop_back();
  int calls = 0;
  try {
    (void)bootstrap(msa, fixed_seed(0, &calls));
    ADD_FAILURE() << "no failure";
  } catch (const InternalError& e) {
    EXPECT_EQ(std::string(e.what()), "row 1 of the alignment has 3 codes, not 4");
  }
}

}  // namespace
}  // namespace nj
