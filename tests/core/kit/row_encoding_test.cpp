// SPDX-License-Identifier: MIT
// Byte translation and plane encoding, checked byte by byte against the
// alphabets' own codes and the core's reference plane encoder.
#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "distance/bit_planes.hpp"
#include "kit/plane_rows.hpp"
#include "kit/row_encoding.hpp"

namespace nj::kit {
namespace {

using nj::detail::SimdLevel;

constexpr MissingRule rules[] = {MissingRule::skip, MissingRule::literal};

std::vector<std::uint64_t> encoded(Encoding encoding, const std::vector<std::uint8_t>& codes,
                                   SimdLevel level = nj::detail::best_simd_level()) {
  const Residues residues = encoding == Encoding::protein ? Residues::protein : Residues::dna;
  std::vector<std::uint64_t> row(row_words_for(residues, codes.size()));
  encode_row(encoding, codes, row.data(), level);
  return row;
}

// What each rule takes for DNA: the bytes of sequences that stay DNA, and
// the residues among them.
TEST(RowEncoding, AlphabetsOfEachRule) {
  const std::string_view dna_bytes[] = {"ACGTUNRYKMSWBDHVacgtunrykmswbdhv-.?~", "-ACGNTUacgntu"};
  const std::string_view residues[] = {"ACGTUacgtu", "ACGTacgt"};
  for (std::size_t r = 0; r < 2; ++r) {
    const Translation open = translation(rules[r], Encoding::open, false);
    const Translation dna = translation(rules[r], Encoding::dna, false);
    for (unsigned byte = 0; byte < 256; ++byte) {
      const bool dna_byte = dna_bytes[r].find(static_cast<char>(byte)) != std::string_view::npos;
      EXPECT_EQ((open[byte] & protein_only) == 0, dna_byte) << byte;
      const bool residue = residues[r].find(static_cast<char>(byte)) != std::string_view::npos;
      EXPECT_EQ(dna[byte] < 4, residue) << byte;
    }
  }
  const Translation skip_protein = translation(MissingRule::skip, Encoding::protein, false);
  for (unsigned byte = 0; byte < 256; ++byte) {
    const bool residue = std::string_view("ARNDCQEGHILKMFPSTWYVarndcqeghilkmfpstwyv")
                             .find(static_cast<char>(byte)) != std::string_view::npos;
    EXPECT_EQ(skip_protein[byte] < 20, residue) << byte;
    EXPECT_TRUE(residue || skip_protein[byte] == Protein::gap) << byte;
  }
}

// A row kept in the open form becomes, once the alphabet is known, exactly
// the row the byte gives when encoded for that alphabet directly.
TEST(RowEncoding, OpenFormBecomesEitherAlphabet) {
  for (const MissingRule rule : rules) {
    const Translation open = translation(rule, Encoding::open, true);
    const Translation dna = translation(rule, Encoding::dna, true);
    const Translation protein = translation(rule, Encoding::protein, true);
    for (unsigned byte = 0; byte < 256; ++byte) {
      if (open[byte] == dropped) {
        EXPECT_TRUE(dna[byte] == dropped && protein[byte] == dropped) << byte;
        continue;
      }
      if ((open[byte] & protein_only) != 0) {
        EXPECT_EQ(open[byte] & ~protein_only, protein[byte]) << byte;
        continue;
      }
      EXPECT_EQ(open_to_protein(rule, open[byte]), protein[byte]) << byte;
      std::vector<std::uint64_t> row = encoded(Encoding::open, std::vector<std::uint8_t>(600, open[byte]));
      open_to_dna(rule, row.data(), 600);
      EXPECT_EQ(row, encoded(Encoding::dna, std::vector<std::uint8_t>(600, dna[byte]))) << byte;
    }
  }
}

// Every level writes the planes of the core's reference encoder, and
// decoding gives the codes back.
TEST(RowEncoding, PlanesAtEveryLevelAndBack) {
  std::mt19937_64 random(11);
  for (const std::size_t length : {0u, 1u, 63u, 64u, 65u, 511u, 512u, 513u, 1100u}) {
    std::vector<std::uint8_t> dna(length), protein(length);
    for (auto& code : dna) code = static_cast<std::uint8_t>(random() % 6);
    for (auto& code : protein) code = static_cast<std::uint8_t>(random() % 22);
    std::vector<std::uint64_t> dna_reference(row_words_for(Residues::dna, length));
    std::vector<std::uint64_t> protein_reference(row_words_for(Residues::protein, length));
    nj::detail::encode_planes<DNA>(dna, dna_reference.data());
    nj::detail::encode_planes<Protein>(protein, protein_reference.data());
    for (const SimdLevel level : nj::detail::supported_simd_levels()) {
      EXPECT_EQ(encoded(Encoding::dna, dna, level), dna_reference) << length;
      EXPECT_EQ(encoded(Encoding::protein, protein, level), protein_reference) << length;
    }
    std::vector<std::uint8_t> back(length);
    decode_row(Encoding::dna, dna_reference.data(), length, back.data());
    EXPECT_EQ(back, dna);
    decode_row(Encoding::protein, protein_reference.data(), length, back.data());
    EXPECT_EQ(back, protein);
  }
}

// Translation drops white space and reports the codes it met, whichever
// way a piece of text is cut.
TEST(RowEncoding, TranslationOfTextInAnyPieces) {
  const Translation table = translation(MissingRule::skip, Encoding::open, true);
  std::string text;
  std::mt19937_64 random(3);
  const std::string_view symbols = "ACGTACGTACGTNRY-. \t\r";
  for (int k = 0; k < 3000; ++k) text += symbols[random() % symbols.size()];
  text += "E";  // a byte that only protein has, at the very end
  std::vector<std::uint8_t> expected;
  for (const char c : text) {
    if (table[static_cast<std::uint8_t>(c)] != dropped) expected.push_back(table[static_cast<std::uint8_t>(c)]);
  }
  for (const std::size_t piece : {1u, 7u, 31u, 32u, 33u, 100u, 5000u}) {
    std::vector<std::uint8_t> out(text.size());
    std::size_t used = 0;
    std::uint8_t seen = 0;
    for (std::size_t at = 0; at < text.size(); at += piece) {
      used += translate(table, std::string_view(text).substr(at, piece), out.data() + used, seen);
    }
    out.resize(used);
    EXPECT_EQ(out, expected) << piece;
    EXPECT_NE(seen & protein_only, 0) << piece;
  }
}

}  // namespace
}  // namespace nj::kit
