// SPDX-License-Identifier: MIT
// The bit-plane distance construction against the column-by-column one.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "distance/kernels.hpp"
#include "distance/matrix.hpp"
#include "distance/plain.hpp"
#include "distance/reference_rows.hpp"
#include "distance/row_totals.hpp"
#include "distance/workspace.hpp"
#include "nj/error.hpp"

namespace nj {
namespace {

using M = SubstitutionModel;
using detail::SimdLevel;

// A generator seeded from NJ_TEST_SEED when set, else at random; the seed is
// part of every failure message so that a failing run can be repeated.
struct SeededRandom {
  std::uint64_t seed;
  std::mt19937_64 engine;

  SeededRandom() : seed(initial_seed()), engine(seed) {}

  static std::uint64_t initial_seed() {
    if (const char* text = std::getenv("NJ_TEST_SEED")) return std::strtoull(text, nullptr, 10);
    return (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  }
  std::string describe() const { return "NJ_TEST_SEED=" + std::to_string(seed); }

  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine); }
};

// Residues, case variants, gaps, unknown codes and bytes of non-ASCII text.
template <Alphabet A>
std::string symbols() {
  if constexpr (std::is_same_v<A, DNA>) return "ACGTacgtNnU?.*X\xC3\xA9";
  return "ARNDCQEGHILKMFPSTWYVarndBXZ*?.\xC3\xA9\xFF";
}

template <Alphabet A>
std::vector<M> models() {
  if constexpr (std::is_same_v<A, DNA>) return {M::PDiff, M::JukesCantor, M::Kimura2P};
  return {M::PDiff, M::Poisson};
}

// Rows of several kinds: random, a few changes away from an earlier row (so
// that most distances stay finite), an exact copy, or all gaps.
template <Alphabet A>
MSA<A> random_msa(SeededRandom& random, std::size_t n, std::size_t length) {
  const std::string alphabet = symbols<A>();
  const double gaps = random.chance(0.3) ? 0.0 : 0.3 * static_cast<double>(random.below(100)) / 100;
  auto symbol = [&] { return random.chance(gaps) ? '-' : alphabet[random.below(alphabet.size())]; };
  std::vector<SequencePair> pairs;
  for (std::size_t k = 0; k < n; ++k) {
    std::string row(length, '-');
    const std::size_t kind = random.below(10);
    if (k == 0 || kind < 3) {
      for (char& c : row) c = symbol();
    } else if (kind < 8) {
      row = pairs[random.below(k)].second;
      const double rate = 0.3 * static_cast<double>(random.below(100)) / 100;
      for (char& c : row) c = random.chance(rate) ? symbol() : c;
    } else if (kind < 9) {
      row = pairs[random.below(k)].second;
    }
    pairs.emplace_back("s" + std::to_string(k), std::move(row));
  }
  return MSA<A>::from_iter(std::move(pairs));
}

// Rows close to one base row of residues, as genomes of an outbreak are:
// each starts from the base or from an earlier row, and all but exact
// copies then change a few columns (to any symbol or a gap) and some a run
// of columns to unknown codes or gaps.
template <Alphabet A>
MSA<A> near_identical_msa(SeededRandom& random, std::size_t n, std::size_t length) {
  const std::string alphabet = symbols<A>();
  const std::size_t residues = std::is_same_v<A, DNA> ? 4 : 20;
  std::string base(length, '-');
  for (char& c : base) c = alphabet[random.below(residues)];
  std::vector<SequencePair> pairs;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t kind = random.below(4);
    std::string row = k == 0 || kind == 0 ? base : pairs[random.below(k)].second;
    if (length > 0 && (k == 0 || kind != 3)) {
      for (std::size_t change = random.below(4); change > 0; --change) {
        const char symbol = alphabet[random.below(alphabet.size())];
        row[random.below(length)] = random.chance(0.2) ? '-' : symbol;
      }
      if (random.chance(0.3)) {
        const std::size_t start = random.below(length);
        const std::size_t end = std::min(length, start + random.below(300));
        std::fill(row.begin() + static_cast<std::ptrdiff_t>(start),
                  row.begin() + static_cast<std::ptrdiff_t>(end), random.chance(0.5) ? 'X' : '-');
      }
    }
    pairs.emplace_back("s" + std::to_string(k), std::move(row));
  }
  return MSA<A>::from_iter(std::move(pairs));
}

// Compares the bit patterns, so that NaN, -0.0 and infinity count exactly.
::testing::AssertionResult same_bits(const DistMat& expected, const DistMat& got) {
  if (got.names != expected.names) return ::testing::AssertionFailure() << "names differ";
  if (got.distances.size() != expected.distances.size()) {
    return ::testing::AssertionFailure() << "sizes " << got.distances.size() << " and "
                                         << expected.distances.size();
  }
  for (std::size_t k = 0; k < got.distances.size(); ++k) {
    if (std::bit_cast<std::uint64_t>(got.distances[k]) !=
        std::bit_cast<std::uint64_t>(expected.distances[k])) {
      return ::testing::AssertionFailure() << "value " << k << ": got " << got.distances[k]
                                           << ", expected " << expected.distances[k];
    }
  }
  return ::testing::AssertionSuccess();
}

// One workspace per supported level, reused across every case of a test so
// that stale buffers from a larger or different alignment would show.
std::vector<DistanceWorkspace> workspaces() {
  std::vector<DistanceWorkspace> all;
  for (SimdLevel level : detail::supported_simd_levels()) all.emplace_back(level);
  return all;
}

// The row totals a build adds as it writes the rows, against those of the
// finished matrix, bit for bit.
::testing::AssertionResult same_totals(const DistMat& matrix, const RowTotals& got) {
  const RowTotals expected = row_totals(matrix);
  const std::vector<double> RowTotals::*parts[] = {&RowTotals::sums, &RowTotals::least,
                                                   &RowTotals::most};
  for (const auto part : parts) {
    if ((got.*part).size() != matrix.size()) return ::testing::AssertionFailure() << "sized wrong";
    for (std::size_t h = 0; h < matrix.size(); ++h) {
      if (std::bit_cast<std::uint64_t>((got.*part)[h]) !=
          std::bit_cast<std::uint64_t>((expected.*part)[h])) {
        return ::testing::AssertionFailure() << "row " << h << ": got " << (got.*part)[h]
                                             << ", expected " << (expected.*part)[h];
      }
    }
  }
  return ::testing::AssertionSuccess();
}

template <Alphabet A>
void expect_fast_matches_plain(const MSA<A>& msa, std::vector<DistanceWorkspace>& spaces,
                               const std::vector<M>& chosen = models<A>()) {
  for (M model : chosen) {
    const DistMat plain = plain_distances(msa, model);
    EXPECT_TRUE(same_bits(plain, DistanceWorkspace().from_msa(msa, model))) << model_name(model);
    for (std::size_t k = 0; k < spaces.size(); ++k) {
      RowTotals totals;
      EXPECT_TRUE(same_bits(plain, spaces[k].from_msa(msa, model, {}, &totals)))
          << model_name(model) << " at level "
          << detail::simd_level_name(detail::supported_simd_levels()[k]);
      EXPECT_TRUE(same_totals(plain, totals)) << model_name(model);
    }
  }
}

template <Alphabet A>
void check_random_alignments(SeededRandom& random) {
  std::vector<DistanceWorkspace> spaces = workspaces();
  const std::size_t lengths[] = {0,   1,   63,  64,  65,  127, 128,           129,
                                 255, 256, 511, 512, 513, 1000, random.below(3000)};
  for (std::size_t length : lengths) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                          4 + random.below(37)}) {
      SCOPED_TRACE(testing::Message() << "n " << n << ", length " << length);
      expect_fast_matches_plain(random_msa<A>(random, n, length), spaces);
    }
  }
}

TEST(FastDistances, MatchPlainOnRandomDna) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  check_random_alignments<DNA>(random);
}

TEST(FastDistances, MatchPlainOnRandomProtein) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  check_random_alignments<Protein>(random);
}

// More rows than two tiles (64 each) and more blocks than one chunk (8 of DNA, 5
// of protein), so that every tile boundary and the accumulation across
// chunks are crossed. One model each keeps it quick: Kimura2P reads both
// counts.
TEST(FastDistances, MatchPlainAcrossTilesAndChunks) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  std::vector<DistanceWorkspace> spaces = workspaces();
  expect_fast_matches_plain(
      random_msa<DNA>(random, 130 + random.below(20), 4200 + random.below(500)), spaces,
      {M::Kimura2P});
  expect_fast_matches_plain(
      random_msa<Protein>(random, 130 + random.below(20), 2600 + random.below(500)), spaces,
      {M::Poisson});
}

// Many rows: the distances then come from a table keyed by the counts (by
// difference count, and for Kimura2P also by transition count), with a slot
// for every possible count when few columns allow few counts, else shared
// slots whose counts evict one another. Either way a lookup must give the
// formula's own value, also when the workspace keeps its table from a build
// of another alignment of the same length.
TEST(FastDistances, MatchPlainWhenPairsOutnumberCounts) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  std::vector<DistanceWorkspace> spaces = workspaces();
  for (std::size_t length : {std::size_t{5}, std::size_t{25}, random.below(26),
                             std::size_t{180}, 150 + random.below(300)}) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    for (int build = 0; build < 2; ++build) {
      expect_fast_matches_plain(random_msa<DNA>(random, 300, length), spaces);
      expect_fast_matches_plain(random_msa<Protein>(random, 300, 5 * length), spaces);
    }
  }
}

template <Alphabet A>
MSA<A> resampled(const MSA<A>& msa, const std::vector<std::uint64_t>& columns) {
  MSA<A> replicate;
  for (std::size_t k = 0; k < msa.sequences.size(); ++k) {
    std::vector<std::uint8_t> row;
    for (std::uint64_t c : columns) row.push_back(msa.sequences[k][c]);
    EXPECT_TRUE(replicate.add_row(msa.identifiers[k], std::move(row)));
  }
  return replicate;
}

// Rows of known nucleotides only, each a copy of an earlier row with some
// columns changed, but for a few of rows 64 to 95 with one gap or unknown
// code: so that the second run of 64 rows is incomplete, the others not.
MSA<DNA> mostly_complete_msa(SeededRandom& random, std::size_t n, std::size_t length) {
  const std::string nucleotides = "ACGTacgt";
  std::vector<SequencePair> pairs;
  for (std::size_t k = 0; k < n; ++k) {
    std::string row = k == 0 ? std::string(length, 'A') : pairs[random.below(k)].second;
    for (char& c : row) c = random.chance(0.2) ? nucleotides[random.below(8)] : c;
    if (length > 0 && k >= 64 && k < 96 && random.chance(0.1)) {
      row[random.below(length)] = random.chance(0.5) ? '-' : 'N';
    }
    pairs.emplace_back("s" + std::to_string(k), std::move(row));
  }
  return MSA<DNA>::from_iter(std::move(pairs));
}

// A complete row against a run of complete rows is counted on the run
// regrouped eight rows to a vector, without the planes of unknown codes
// and gaps, which must give the same counts, also past the row's end in its
// last block and for runs that end within a group; runs with an incomplete
// row, on either side, are counted in full.
TEST(FastDistances, MatchPlainOnCompleteRows) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  std::vector<DistanceWorkspace> spaces = workspaces();
  for (DistanceWorkspace& space : spaces) space.set_counting_path(detail::CountingPath::planes);
  for (std::size_t length : {std::size_t{1}, std::size_t{63}, std::size_t{512}, std::size_t{1000},
                             4200 + random.below(500)}) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    const MSA<DNA> msa = mostly_complete_msa(random, 140 + random.below(40), length);
    expect_fast_matches_plain(msa, spaces);
    std::vector<std::uint64_t> columns(length);
    for (auto& c : columns) c = random.below(length);
    for (DistanceWorkspace& space : spaces) {
      EXPECT_TRUE(same_bits(plain_distances(resampled(msa, columns), M::Kimura2P),
                            space.from_resampled(msa, columns, M::Kimura2P)));
    }
  }
}

template <Alphabet A>
void check_resampling(SeededRandom& random) {
  std::vector<DistanceWorkspace> spaces = workspaces();
  for (std::size_t length : {std::size_t{1}, std::size_t{100}, 600 + random.below(900)}) {
    const MSA<A> msa = random_msa<A>(random, 2 + random.below(30), length);
    for (std::size_t drawn : {std::size_t{0}, length, length + 77}) {
      std::vector<std::uint64_t> columns(drawn);
      for (auto& c : columns) c = random.below(length);
      const MSA<A> replicate = resampled(msa, columns);
      for (M model : models<A>()) {
        const DistMat plain = plain_distances(replicate, model);
        for (DistanceWorkspace& space : spaces) {
          EXPECT_TRUE(same_bits(plain, space.from_resampled(msa, columns, model)))
              << model_name(model) << ", length " << length << ", drawn " << drawn;
        }
      }
    }
  }
}

TEST(FastDistances, ResampledColumnsMatchABuiltReplicate) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  check_resampling<DNA>(random);
  check_resampling<Protein>(random);
}

// Counted from the rows' differences to a reference row, near-identical
// rows (with copies, runs of unknown codes and of gaps, lengths on and off
// the 64-column words) and random ones give the plain values, from the
// alignment and from a resampled draw of its columns.
template <Alphabet A>
void check_reference_path(SeededRandom& random) {
  std::vector<DistanceWorkspace> spaces = workspaces();
  for (DistanceWorkspace& space : spaces) space.set_counting_path(detail::CountingPath::reference);
  struct Case {
    std::size_t n;
    std::size_t length;
    bool near;
  };
  const Case cases[] = {{0, 100, true},   {1, 100, true},  {2, 0, true},
                        {3, 1, true},     {5, 63, true},   {9, 64, true},
                        {17, 65, true},   {40, 700, false}, {70 + random.below(30), 1000, true},
                        {130 + random.below(20), 4097 + random.below(500), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "n " << c.n << ", length " << c.length);
    const MSA<A> msa = c.near ? near_identical_msa<A>(random, c.n, c.length)
                              : random_msa<A>(random, c.n, c.length);
    expect_fast_matches_plain(msa, spaces);
    std::vector<std::uint64_t> columns(msa.length == 0 ? 0 : msa.length + 13);
    for (auto& column : columns) column = random.below(msa.length);
    const MSA<A> replicate = resampled(msa, columns);
    for (M model : models<A>()) {
      EXPECT_TRUE(same_bits(plain_distances(replicate, model),
                            spaces.back().from_resampled(msa, columns, model)))
          << "resampled, " << model_name(model);
    }
  }
}

TEST(FastDistances, ReferencePathMatchesPlain) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  check_reference_path<DNA>(random);
  check_reference_path<Protein>(random);
}

// The reference path is taken for long near-identical rows and left for
// the bit planes where rows differ everywhere or are too few to pair.
TEST(FastDistances, ReferencePathIsTakenWhereItPays) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  const auto taken = [](const MSA<DNA>& msa) {
    StopPoller poller(StopCheck{});
    const detail::RowSource rows = [&msa](std::size_t k) { return msa.row(k); };
    return detail::reference_rows<DNA>(rows, msa.sequences.size(), msa.length,
                                       detail::CountingPath::automatic, poller)
        .has_value();
  };
  EXPECT_TRUE(taken(near_identical_msa<DNA>(random, 300, 20000)));
  EXPECT_FALSE(taken(random_msa<DNA>(random, 300, 20000)));
  EXPECT_FALSE(taken(near_identical_msa<DNA>(random, 1, 20000)));
  const MSA<DNA> diverse = random_msa<DNA>(random, 200, 3000);
  EXPECT_TRUE(same_bits(plain_distances(diverse, M::Kimura2P),
                        DistanceWorkspace().from_msa(diverse, M::Kimura2P)));
}

TEST(FastDistances, BrokenAssumptionsAreInternalErrors) {
  const auto dna = MSA<DNA>::from_iter({{"a", "ACGT"}, {"b", "ACGA"}});
  DistanceWorkspace space;
  EXPECT_THROW(space.from_msa(dna, M::Poisson), InternalError);
  const auto protein = MSA<Protein>::from_iter({{"a", "ARND"}});
  EXPECT_THROW(space.from_msa(protein, M::Kimura2P), InternalError);
  const std::vector<std::uint64_t> outside = {0, 4};
  EXPECT_THROW(space.from_resampled(dna, outside, M::PDiff), InternalError);

  MSA<DNA> foreign_code = dna;
  foreign_code.sequences[1][2] = 6;  // no nucleotide has this code
  EXPECT_THROW(space.from_msa(foreign_code, M::PDiff), InternalError);
  MSA<Protein> foreign_residue = MSA<Protein>::from_iter({{"a", "ARND"}, {"b", "ARND"}});
  foreign_residue.sequences[0][3] = 22;
  EXPECT_THROW(DistanceWorkspace().from_msa(foreign_residue, M::PDiff), InternalError);
  MSA<DNA> ragged = dna;
  ragged.sequences[1].pop_back();
  EXPECT_THROW(space.from_msa(ragged, M::PDiff), InternalError);
  const std::vector<std::uint64_t> draw = {0, 3, 3, 1};
  EXPECT_THROW(space.from_resampled(ragged, draw, M::PDiff), InternalError);

  // The workspace is still usable afterwards.
  EXPECT_TRUE(
      same_bits(plain_distances(dna, M::Kimura2P), space.from_msa(dna, M::Kimura2P)));
}

// On bit planes and from a reference row alike.
TEST(FastDistances, StopRequestsAreHonouredDuringCounting) {
  SeededRandom random;
  SCOPED_TRACE(random.describe());
  for (const MSA<DNA>& msa :
       {random_msa<DNA>(random, 1000, 5000), near_identical_msa<DNA>(random, 1500, 20000)}) {
    int asked = 0;
    const StopCheck count_only = [&asked] { return ++asked < 0; };
    DistMat full = DistanceWorkspace().from_msa(msa, M::PDiff, count_only);
    EXPECT_EQ(full.distances.size(), pair_count(msa.sequences.size()));
    // Asked at least once for the matrix and again while counting.
    EXPECT_GE(asked, 2);

    int calls = 0;
    const StopCheck stop_second = [&calls] { return ++calls == 2; };
    EXPECT_THROW(DistanceWorkspace().from_msa(msa, M::PDiff, stop_second), Cancelled);
    EXPECT_EQ(calls, 2);
  }
}

}  // namespace
}  // namespace nj
