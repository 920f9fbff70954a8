// SPDX-License-Identifier: MIT
// The skip-rule kernels at every instruction-set level against a column by
// column count.
#include <gtest/gtest.h>

#include <random>

#include "distance/bit_planes.hpp"
#include "distance/skip_kernels.hpp"
#include "../kit/kit_samples.hpp"

namespace nj::detail {
namespace {

using kit::testing::Records;

constexpr std::string_view dna_symbols = "ACGTUacgtNRY-?.";
constexpr std::string_view protein_symbols = "ARNDCQEGHILKMFPSTWYVarXBZ*-";

template <Alphabet A>
void check_kernels(const Records& records, const kit::Alignment& alignment) {
  const std::size_t n = alignment.size();
  const std::size_t blocks = PlaneShape<A>(alignment.length()).blocks;
  for (const SimdLevel level : supported_simd_levels()) {
    for (const bool transitions : {false, true}) {
      const auto count = skip_count_function<A>(level, transitions);
      // Row 0 against all the others, in two ranges of blocks.
      std::vector<SkipCounts> counts(n - 1);
      const std::size_t half = blocks / 2;
      const std::size_t stride = alignment.row_words();
      const std::uint64_t* rows = alignment.planes().data();
      const std::size_t block_size = PlaneShape<A>::block_size();
      count({rows, rows + stride, stride, n - 1, half, true}, counts.data());
      count({rows + half * block_size, rows + stride + half * block_size, stride, n - 1, blocks - half, false},
            counts.data());
      for (std::size_t k = 1; k < n; ++k) {
        SkipCounts expected = kit::testing::skip_counts(records[0].second, records[k].second, alignment.residues());
        if (!transitions || std::is_same_v<A, Protein>) expected.transitions = 0;
        const SkipCounts& got = counts[k - 1];
        EXPECT_EQ(got.differences, expected.differences) << simd_level_name(level) << ' ' << k;
        EXPECT_EQ(got.transitions, expected.transitions) << simd_level_name(level) << ' ' << k;
        EXPECT_EQ(got.compared, expected.compared) << simd_level_name(level) << ' ' << k;
      }
    }
  }
}

TEST(SkipKernels, AtEveryLevelCountColumnByColumn) {
  std::mt19937_64 random(21);
  for (const std::size_t length : {1u, 64u, 511u, 512u, 1300u, 2600u}) {
    for (const std::size_t n : {2u, 5u, 13u}) {
      const Records dna = kit::testing::random_records(random, n, length, std::string(dna_symbols));
      check_kernels<DNA>(dna, kit::testing::encode(dna, kit::MissingRule::skip, kit::AlphabetChoice::dna));
      const Records protein = kit::testing::random_records(random, n, length, std::string(protein_symbols));
      check_kernels<Protein>(protein, kit::testing::encode(protein, kit::MissingRule::skip, kit::AlphabetChoice::protein));
    }
  }
}

}  // namespace
}  // namespace nj::detail
