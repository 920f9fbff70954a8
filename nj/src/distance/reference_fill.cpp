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

// Counts the pairs of one row with a run of distinct rows and returns the
// corrections made; chosen once per build, so that the population counts
// are instructions where the processor has them.
template <Alphabet A>
using RowCounter = std::uint64_t (*)(ReferenceFiller<A>& filler, std::uint32_t x,
                                     std::uint32_t from, std::uint32_t to) noexcept;

template <Alphabet A>
class ReferenceFiller {
 public:
  explicit ReferenceFiller(const ReferenceRows<A>& rows)
      : rows_(rows), counts_(rows.distinct()), distances_(rows.distinct()) {}

  void fill(RowCounter<A> counter, const StoreCounts& store, DistMat& matrix,
            RowTotaller& totaller, StopPoller& poller) {
    std::uint32_t seen = 0;  // distinct rows among the rows before a
    for (std::size_t a = 0; a < rows_.distinct_of.size(); ++a) {
      const std::uint32_t x = rows_.distinct_of[a];
      const std::size_t first = rows_.first_row[x];
      // A copy counts only the distinct rows that first occur after its
      // original; the earlier ones are in the original's row of the matrix.
      const std::uint32_t counted_from = a == first ? 0 : x;
      const std::uint64_t corrections = counter(*this, x, counted_from, seen);
      store(std::span<const PairCounts>(counts_.data() + counted_from, seen - counted_from),
            distances_.data() + counted_from);
      write_row(a, first, counted_from, matrix);
      totaller.add_rows(matrix.distances.data(), a + 1);
      poller.spend(seen - counted_from + entries_of(x) + corrections + a);
      seen = std::max(seen, x + 1);
    }
  }

  // Row a of the matrix, whose distinct row first occurs at row `first`:
  // the distances to the distinct rows before `counted_from` from row
  // `first` of the matrix, the others as just counted.
  void write_row(std::size_t a, std::size_t first, std::uint32_t counted_from, DistMat& matrix) {
    for (std::uint32_t u = 0; u < counted_from; ++u) {
      distances_[u] = matrix.distances[pair_index(rows_.first_row[u], first)];
    }
    double* out = matrix.distances.data() + pair_index(0, a);
    for (std::size_t b = 0; b < a; ++b) out[b] = distances_[rows_.distinct_of[b]];
  }

  // The counts of row x with the distinct rows [from, to), into counts_:
  // both rows' counts against the reference, corrected on the words where
  // both differ from it, which are found in the index of x's words. The
  // sums may pass below zero on the way (unsigned, so exactly), never at
  // the end. Returns the number of corrections.
  template <bool Transitions>
  [[gnu::always_inline]] inline std::uint64_t count_row(std::uint32_t x, std::uint32_t from,
                                                        std::uint32_t to) noexcept {
    const PairCounts own = rows_.totals[x];
    for (std::uint32_t u = from; u < to; ++u) {
      counts_[u] = {own.differences + rows_.totals[u].differences,
                    Transitions ? own.transitions + rows_.totals[u].transitions : 0};
    }
    std::uint64_t e = rows_.entry_starts[x];
    const std::uint64_t* map = rows_.differing.data() + x * rows_.summary_words;
    std::uint64_t corrections = 0;
    for (std::size_t s = 0; s < rows_.summary_words; ++s) {
      for (Word bits = map[s]; bits != 0; bits &= bits - 1, ++e) {
        const std::size_t w = 64 * s + static_cast<std::size_t>(std::countr_zero(bits));
        corrections += correct_word<Transitions>(w, e, from, to);
      }
    }
    return corrections;
  }

 private:
  static constexpr std::size_t planes = ReferenceRows<A>::planes;

  std::uint64_t entries_of(std::uint32_t x) const noexcept {
    const std::uint64_t begin = rows_.entry_starts[x];
    return x + 1 < rows_.distinct() ? rows_.entry_starts[x + 1] - begin
                                    : rows_.entry_counts.size() - begin;
  }

  // On word w, where x differs from the reference (its entry e), the pairs
  // of x with the rows [from, to) that differ there too count their own
  // differences instead of both rows' differences from the reference.
  // Returns the number of such rows.
  template <bool Transitions>
  [[gnu::always_inline]] inline std::uint64_t correct_word(std::size_t w, std::uint64_t e,
                                                           std::uint32_t from,
                                                           std::uint32_t to) noexcept {
    const Word* outer = rows_.entry_planes.data() + e * planes;
    const WordCounts outer_counts = rows_.entry_counts[e];
    const WordEntry<A>* entry = rows_.index.data() + rows_.word_starts[w];
    const WordEntry<A>* end = rows_.index.data() + rows_.word_starts[w + 1];
    if (from > 0) {
      const auto before = [from](const WordEntry<A>& other) { return other.row < from; };
      entry = std::partition_point(entry, end, before);
    }
    const WordEntry<A>* const begin = entry;
    for (; entry != end && entry->row < to; ++entry) {
      Word difference;
      Word transition;
      lanes::word_masks<A, Transitions, 1>(outer, entry->planes, difference, transition);
      PairCounts& counts = counts_[entry->row];
      counts.differences += static_cast<std::uint64_t>(std::popcount(difference));
      counts.differences -= std::uint64_t{outer_counts.differences} + entry->counts.differences;
      if constexpr (Transitions) {
        counts.transitions += static_cast<std::uint64_t>(std::popcount(transition));
        counts.transitions -= std::uint64_t{outer_counts.transitions} + entry->counts.transitions;
      }
    }
    return static_cast<std::uint64_t>(entry - begin);
  }

  const ReferenceRows<A>& rows_;
  std::vector<PairCounts> counts_;  // of the current row against each distinct row
  std::vector<double> distances_;   // the same as distances
};

template <Alphabet A, bool Transitions>
std::uint64_t count_portable(ReferenceFiller<A>& filler, std::uint32_t x, std::uint32_t from,
                             std::uint32_t to) noexcept {
  return filler.template count_row<Transitions>(x, from, to);
}

#if NJ_X86_64
template <Alphabet A, bool Transitions>
NJ_TARGET_POPCNT std::uint64_t count_popcnt(ReferenceFiller<A>& filler, std::uint32_t x,
                                            std::uint32_t from, std::uint32_t to) noexcept {
  return filler.template count_row<Transitions>(x, from, to);
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
                         const StoreCounts& store, DistMat& matrix, RowTotaller& totaller,
                         StopPoller& poller) {
  ReferenceFiller<A> filler(rows);
  const bool with_transitions = transitions && std::is_same_v<A, DNA>;
  filler.fill(with_transitions ? row_counter<A, true>(level) : row_counter<A, false>(level), store,
              matrix, totaller, poller);
}

template void fill_from_reference<DNA>(const ReferenceRows<DNA>&, bool, SimdLevel,
                                       const StoreCounts&, DistMat&, RowTotaller&, StopPoller&);
template void fill_from_reference<Protein>(const ReferenceRows<Protein>&, bool, SimdLevel,
                                           const StoreCounts&, DistMat&, RowTotaller&, StopPoller&);

}  // namespace nj::detail
