// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "random.hpp"

namespace nj {
namespace {

TEST(WyRand, OutputsFromStateZero) {
  WyRand generator(0);
  EXPECT_EQ(generator.next(), 0x111CB3A78F59A58Eu);
  EXPECT_EQ(generator.next(), 0xCEABD938FF4E856Du);
  EXPECT_EQ(generator.next(), 0x61FB51318F47D2A4u);
  EXPECT_EQ(generator.state(), 3 * 0xA0761D6478BD642Fu);
}

TEST(WyRand, DrawsBelowARange) {
  WyRand generator(0);
  std::vector<std::uint64_t> columns;
  for (int k = 0; k < 10; ++k) columns.push_back(draw_below(generator, 10));
  EXPECT_EQ(columns, (std::vector<std::uint64_t>{0, 8, 3, 4, 4, 5, 8, 1, 9, 6}));

  // A range of one always gives 0 and still costs one step per draw.
  WyRand single(12345);
  for (std::uint64_t k = 1; k <= 5; ++k) {
    EXPECT_EQ(draw_below(single, 1), 0u);
    EXPECT_EQ(single.state(), 12345 + k * 0xA0761D6478BD642Fu);
  }
}

// With a range just above 2^63 about half the candidates are rejected; each
// rejected one must still advance the generator.
TEST(WyRand, RejectedCandidatesAdvanceTheState) {
  __extension__ using Wide = unsigned __int128;
  constexpr std::uint64_t range = (std::uint64_t{1} << 63) + 1;
  constexpr std::uint64_t threshold = (std::uint64_t{1} << 63) - 1;  // 2^64 mod range
  int draws_with_rejections = 0;
  for (std::uint64_t seed = 0; seed < 64; ++seed) {
    WyRand reference(seed);
    std::uint64_t steps = 0;
    Wide product = 0;
    do {
      product = static_cast<Wide>(reference.next()) * range;
      ++steps;
    } while (static_cast<std::uint64_t>(product) < threshold);
    if (steps > 1) ++draws_with_rejections;

    WyRand generator(seed);
    EXPECT_EQ(draw_below(generator, range), static_cast<std::uint64_t>(product >> 64)) << seed;
    EXPECT_EQ(generator.state(), reference.state()) << seed;
  }
  EXPECT_GT(draws_with_rejections, 10);
}

}  // namespace
}  // namespace nj
