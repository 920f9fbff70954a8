// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string_view>

#include "alphabet.hpp"

namespace nj {
namespace {

// Every byte value, against the code it must get.
TEST(Alphabet, DnaCodesEveryByte) {
  for (int byte = 0; byte < 256; ++byte) {
    std::uint8_t expected = DNA::unknown;
    switch (byte) {
      case 'A': case 'a': expected = 0; break;
      case 'C': case 'c': expected = 1; break;
      case 'G': case 'g': expected = 2; break;
      case 'T': case 't': expected = 3; break;
      case '-': expected = DNA::gap; break;
      default: break;
    }
    EXPECT_EQ(DNA::code(static_cast<std::uint8_t>(byte)), expected) << "byte " << byte;
  }
  EXPECT_EQ(DNA::gap, 5);
  EXPECT_EQ(DNA::unknown, 4);
}

TEST(Alphabet, ProteinCodesEveryByte) {
  constexpr std::string_view residues = "ARNDCQEGHILKMFPSTWYV";
  for (int byte = 0; byte < 256; ++byte) {
    std::uint8_t expected = Protein::unknown;
    if (const auto at = residues.find(static_cast<char>(byte)); at != std::string_view::npos &&
                                                                 byte != 0) {
      expected = static_cast<std::uint8_t>(at);
    } else if (byte == '-') {
      expected = Protein::gap;
    }
    EXPECT_EQ(Protein::code(static_cast<std::uint8_t>(byte)), expected) << "byte " << byte;
  }
  EXPECT_EQ(Protein::table.size(), 45u);
  EXPECT_EQ(Protein::gap, 21);
  EXPECT_EQ(Protein::unknown, 20);
}

}  // namespace
}  // namespace nj
