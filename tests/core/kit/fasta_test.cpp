// SPDX-License-Identifier: MIT
// The FASTA reader: records, headers and line ends as files have them, in
// pieces of any size, and the messages of what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "kit_samples.hpp"

namespace nj::kit {
namespace {

using testing::Records;

struct Case {
  const char* what;
  std::string text;
  Records records;      // what the text holds, when it is read
  std::string refusal;  // else the message
  AlphabetChoice alphabet = AlphabetChoice::automatic;
};

std::vector<Case> cases() {
  return {
      {"records over several lines", ">a\nACGT\nAC\n>b\nTTGG\nCA\n", {{"a", "ACGTAC"}, {"b", "TTGGCA"}}, ""},
      {"CRLF line ends, no last line end", ">a x\r\nAC\r\nGT\r\n>b\r\nAAAA", {{"a", "ACGT"}, {"b", "AAAA"}}, ""},
      {"blank lines anywhere", "\n \n>a\n\nAC\n\n>b\nGG\n\n", {{"a", "AC"}, {"b", "GG"}}, ""},
      {"the identifier is the first word", ">  id1 a description\tmore\nA\n>id2\tx\nC\n",
       {{"id1", "A"}, {"id2", "C"}}, ""},
      {"white space inside sequence lines", ">a\nA C\tG T\n>b\nAC GT\n", {{"a", "ACGT"}, {"b", "ACGT"}}, ""},
      {"an empty header and an empty sequence", ">\n>b\n", {{"", ""}, {"b", ""}}, ""},
      {"a protein record after DNA ones", ">a\nACGT\n>b\nACNN\n>c\nMKLE\n",
       {{"a", "ACGT"}, {"b", "ACNN"}, {"c", "MKLE"}}, ""},
      {"forced protein", ">a\nACGT\n", {{"a", "ACGT"}}, "", AlphabetChoice::protein},
      {"unequal lengths", ">a\nACGT\n>b b\nACG\n", {},
       "in.fa: sequence \"b\" (number 2) has length 3, expected 4"},
      {"text before the first header", "\nACGT\n>a\nA\n", {}, "in.fa: line 2: sequence text before the first header"},
      {"nothing at all", "\n\n", {}, "in.fa: no sequences"},
      {"an identifier that is not UTF-8", ">a\nA\n>b\xff\nC\n", {}, "in.fa: line 3: the identifier is not UTF-8 text"},
  };
}

std::expected<Alignment, std::string> read_in_pieces(const Case& c, std::size_t piece) {
  FastaParser parser(MissingRule::skip, c.alphabet, "in.fa");
  for (std::size_t at = 0; at < c.text.size(); at += piece) {
    if (auto fed = parser.feed(std::string_view(c.text).substr(at, piece)); !fed) {
      return std::unexpected(fed.error());
    }
  }
  return parser.finish();
}

void expect_same(const Alignment& got, const Alignment& expected, const std::string& what) {
  EXPECT_EQ(got.identifiers(), expected.identifiers()) << what;
  EXPECT_EQ(got.residues(), expected.residues()) << what;
  EXPECT_EQ(got.length(), expected.length()) << what;
  EXPECT_TRUE(std::ranges::equal(got.planes(), expected.planes())) << what;
}

TEST(Fasta, RecordsAndRefusalsInPiecesOfAnySize) {
  for (const Case& c : cases()) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, c.text.size() + 1}) {
      const std::string what = std::string(c.what) + ", pieces of " + std::to_string(piece);
      auto got = read_in_pieces(c, piece);
      if (!c.refusal.empty()) {
        ASSERT_FALSE(got) << what;
        EXPECT_EQ(got.error(), c.refusal) << what;
        continue;
      }
      ASSERT_TRUE(got) << what << ": " << got.error();
      expect_same(*got, testing::encode(c.records, MissingRule::skip, c.alphabet), what);
    }
  }
}

// Rows read while the alphabet was open are the rows a protein alignment
// has, once a later row shows it is one.
TEST(Fasta, AlphabetDecidedLate) {
  std::mt19937_64 random(9);
  for (const MissingRule rule : {MissingRule::skip, MissingRule::literal}) {
    Records records = testing::random_records(random, 12, 700, "ACGTUNRYBacgtnu-.?~");
    records.emplace_back("protein", std::string(700, 'L'));
    const Alignment late = testing::encode(records, rule);
    const Alignment forced = testing::encode(records, rule, AlphabetChoice::protein);
    ASSERT_EQ(late.residues(), Residues::protein);
    expect_same(late, forced, "decided late");
  }
}

TEST(Fasta, AfterAnErrorEverythingIsRefused) {
  FastaParser parser(MissingRule::literal, AlphabetChoice::automatic, "x");
  EXPECT_FALSE(parser.feed(">a\nAC\n>b\nA\n>c\n"));
  EXPECT_FALSE(parser.feed(">d\nAC\n"));
  EXPECT_FALSE(parser.finish());
}

TEST(Fasta, FilesAndTheirFailures) {
  const auto path = std::filesystem::temp_directory_path() / ("nj_fasta_test_" + std::to_string(::getpid()) + ".fa");
  std::mt19937_64 random(5);
  const Records records = testing::random_records(random, 40, 3000, "ACGTN-acgt");
  {
    std::ofstream out(path);
    for (const auto& [name, text] : records) out << '>' << name << " description\n" << text << '\n';
  }
  auto read = read_fasta(path.string(), MissingRule::literal, AlphabetChoice::automatic);
  std::filesystem::remove(path);
  ASSERT_TRUE(read) << read.error();
  expect_same(*read, testing::encode(records, MissingRule::literal), "a file");
  const auto missing = read_fasta(path.string(), MissingRule::literal, AlphabetChoice::automatic);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), path.string() + ": No such file or directory");
}

}  // namespace
}  // namespace nj::kit
