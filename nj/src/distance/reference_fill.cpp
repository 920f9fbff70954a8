// SPDX-License-Identifier: MIT
#include "distance/reference_fill.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "distance/kernel_lanes.hpp"
#include "simd.hpp"

namespace nj::detail {

namespace {

using Word = std::uint64_t;

template <Alphabet A>
class ReferenceFiller;

// Counts the pairs of one row with a run of distinct rows; chosen once per
// build, so that the population counts are instructions where the
// processor has them.
template <Alphabet A>
using RowCounter = void (*)(ReferenceFiller<A>& filler, std::uint32_t x, std::uint32_t from,
                            std::uint32_t to) noexcept;

template <Alphabet A>
class ReferenceFiller {
 public:
  explicit ReferenceFiller(const ReferenceRows<A>& rows)
      : rows_(rows),
        outer_planes_(rows.words * planes),
        outer_counts_(rows.words),
        counts_(rows.distinct()),
        distances_(rows.distinct()) {}

  void fill(RowCounter<A> counter, const StoreCounts& store, DistMat& matrix,
            StopPoller& poller) {
    std::uint32_t seen = 0;  // distinct rows among the rows before a
    for (std::size_t a = 0; a < rows_.distinct_of.size(); ++a) {
      const std::uint32_t x = rows_.distinct_of[a];
      const std::size_t first = rows_.first_row[x];
      // A copy counts only the distinct rows that first occur after its
      // original; the earlier ones are in the original's row of the matrix.
      const std::uint32_t counted_from = a == first ? 0 : x;
      spread(x);
      counter(*this, x, counted_from, seen);
      store(std::span<const PairCounts>(counts_.data() + counted_from, seen - counted_from),
            distances_.data() + counted_from);
      for (std::uint32_t u = 0; u < counted_from; ++u) {
        distances_[u] = matrix.distances[pair_index(rows_.first_row[u], first)];
      }
      double* out = matrix.distances.data() + pair_index(0, a);
      for (std::size_t b = 0; b < a; ++b) out[b] = distances_[rows_.distinct_of[b]];
      poller.spend((seen - counted_from) * (rows_.summary_words + 8) + a);
      seen = std::max(seen, x + 1);
    }
  }

  // The counts of row x with the distinct rows [from, to), into counts_.
  template <bool Transitions>
  [[gnu::always_inline]] inline void count_row(std::uint32_t x, std::uint32_t from,
                                               std::uint32_t to) noexcept {
    for (std::uint32_t u = from; u < to; ++u) counts_[u] = pair_counts<Transitions>(x, u);
  }

 private:
  static constexpr std::size_t planes = ReferenceRows<A>::planes;

  const Word* map(std::uint32_t u) const noexcept {
    return rows_.differing.data() + u * rows_.summary_words;
  }

  // The differing words of the outer row x, laid out by word, so that the
  // pairs of x look them up directly.
  void spread(std::uint32_t x) {
    const Word* mx = map(x);
    std::uint64_t e = rows_.entry_starts[x * rows_.summary_words];
    for (std::size_t s = 0; s < rows_.summary_words; ++s) {
      for (Word bits = mx[s]; bits != 0; bits &= bits - 1, ++e) {
        const std::size_t w = 64 * s + static_cast<std::size_t>(std::countr_zero(bits));
        std::copy_n(rows_.entry_planes.data() + e * planes, planes, outer_planes_.data() + w * planes);
        outer_counts_[w] = rows_.entry_counts[e];
      }
    }
  }

  // Both rows' counts against the reference, corrected on the words where
  // both differ from it: there the pair's own counts replace theirs. The
  // sums may pass below zero on the way (unsigned, so exactly), never at
  // the end.
  template <bool Transitions>
  [[gnu::always_inline]] inline PairCounts pair_counts(std::uint32_t x, std::uint32_t u) const noexcept {
    const Word* mx = map(x);
    const Word* mu = map(u);
    PairCounts counts{rows_.totals[x].differences + rows_.totals[u].differences,
                      Transitions ? rows_.totals[x].transitions + rows_.totals[u].transitions : 0};
    Word shared = 0;
    for (std::size_t s = 0; s < rows_.summary_words; ++s) shared |= mx[s] & mu[s];
    if (shared == 0) return counts;
    for (std::size_t s = 0; s < rows_.summary_words; ++s) {
      const std::uint64_t start = rows_.entry_starts[u * rows_.summary_words + s];
      for (Word common = mx[s] & mu[s]; common != 0; common &= common - 1) {
        const int bit = std::countr_zero(common);
        const std::size_t w = 64 * s + static_cast<std::size_t>(bit);
        const std::uint64_t e =
            start + static_cast<std::uint64_t>(std::popcount(mu[s] & ((Word{1} << bit) - 1)));
        correct<Transitions>(counts, w, e);
      }
    }
    return counts;
  }

  template <bool Transitions>
  [[gnu::always_inline]] inline void correct(PairCounts& counts, std::size_t w, std::uint64_t e) const noexcept {
    Word difference;
    Word transition;
    lanes::word_masks<A, Transitions, 1>(outer_planes_.data() + w * planes,
                                         rows_.entry_planes.data() + e * planes, difference,
                                         transition);
    const WordCounts& outer = outer_counts_[w];
    const WordCounts& other = rows_.entry_counts[e];
    counts.differences += static_cast<std::uint64_t>(std::popcount(difference));
    counts.differences -= std::uint64_t{outer.differences} + other.differences;
    if constexpr (Transitions) {
      counts.transitions += static_cast<std::uint64_t>(std::popcount(transition));
      counts.transitions -= std::uint64_t{outer.transitions} + other.transitions;
    }
  }

  const ReferenceRows<A>& rows_;
  std::vector<Word> outer_planes_;
  std::vector<WordCounts> outer_counts_;
  std::vector<PairCounts> counts_;  // of the current row against each distinct row
  std::vector<double> distances_;   // the same as distances
};

template <Alphabet A, bool Transitions>
void count_portable(ReferenceFiller<A>& filler, std::uint32_t x, std::uint32_t from,
                    std::uint32_t to) noexcept {
  filler.template count_row<Transitions>(x, from, to);
}

#if NJ_X86_64
template <Alphabet A, bool Transitions>
NJ_TARGET_POPCNT void count_popcnt(ReferenceFiller<A>& filler, std::uint32_t x,
                                   std::uint32_t from, std::uint32_t to) noexcept {
  filler.template count_row<Transitions>(x, from, to);
}
#endif

template <Alphabet A, bool Transitions>
RowCounter<A> row_counter(SimdLevel level) noexcept {
#if NJ_X86_64
  if (level != SimdLevel::Portable) return &count_popcnt<A, Transitions>;
#endif
  return &count_portable<A, Transitions>;
}

}  // namespace

template <Alphabet A>
void fill_from_reference(const ReferenceRows<A>& rows, bool transitions, SimdLevel level,
                         const StoreCounts& store, DistMat& matrix, StopPoller& poller) {
  ReferenceFiller<A> filler(rows);
  const bool with_transitions = transitions && std::is_same_v<A, DNA>;
  filler.fill(with_transitions ? row_counter<A, true>(level) : row_counter<A, false>(level), store,
              matrix, poller);
}

template void fill_from_reference<DNA>(const ReferenceRows<DNA>&, bool, SimdLevel,
                                       const StoreCounts&, DistMat&, StopPoller&);
template void fill_from_reference<Protein>(const ReferenceRows<Protein>&, bool, SimdLevel,
                                           const StoreCounts&, DistMat&, StopPoller&);

}  // namespace nj::detail
