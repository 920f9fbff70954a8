// SPDX-License-Identifier: MIT
// Rows held as their differences from one reference row: the form in which
// alignments of near-identical sequences are counted pair by pair at the
// cost of the few words where both rows of a pair leave the reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "alphabet.hpp"
#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"
#include "nj/stop.hpp"

namespace nj::detail {

/// Row k of an alignment as codes; the span may be overwritten by the next call.
using RowSource = std::function<std::span<const std::uint8_t>(std::size_t)>;

/// Counts of one pair of rows on one 64-column word.
struct WordCounts {
  std::uint32_t differences = 0;
  std::uint32_t transitions = 0;
};

/// One differing word of one distinct row, in the index by word.
template <Alphabet A>
struct WordEntry {
  std::uint32_t row;  // the distinct row
  WordCounts counts;  // its counts against the reference on the word
  std::uint64_t planes[Planes<A>::count];
};

/// The distinct rows of an alignment, each as the 64-column words in which
/// it differs from a reference row (the column-wise majority of a sample of
/// rows). A pair of rows counts what each counts against the reference,
/// corrected only on the words where both differ from it: on any other word
/// one of the two equals the reference, so the pair counts there exactly
/// what the other row counts against the reference.
template <Alphabet A>
struct ReferenceRows {
  static constexpr std::size_t planes = Planes<A>::count;

  std::uint64_t length = 0;
  std::size_t words = 0;          // 64-column words of a row
  std::size_t summary_words = 0;  // words of a row's map of differing words
  // Per row: its distinct row, the distinct rows numbered by first occurrence.
  std::vector<std::uint32_t> distinct_of;
  std::vector<std::size_t> first_row;      // per distinct row: the row where it first occurs
  // Per distinct row: the map (summary_words words, bit w set when word w
  // differs), the index of its first entry, and the counts against the
  // reference over the whole row.
  std::vector<std::uint64_t> differing;
  std::vector<std::uint64_t> entry_starts;
  std::vector<PairCounts> totals;
  // Per differing word of each distinct row, rows one after another and
  // words in order: its planes (`planes` consecutive words, one per plane)
  // and its counts against the reference.
  std::vector<std::uint64_t> entry_planes;
  std::vector<WordCounts> entry_counts;
  // The same entries by word: those of word w, in the order of their rows,
  // are index[word_starts[w] .. word_starts[w + 1]).
  std::vector<std::size_t> word_starts;
  std::vector<WordEntry<A>> index;

  std::size_t distinct() const noexcept { return first_row.size(); }
};

/// How the choice between the two ways of counting is made.
enum class CountingPath : std::uint8_t { automatic, reference, planes };

/// The rows `source(0 .. rows)` of `length` columns against their
/// reference, or nothing when the bit-plane kernels are expected to be
/// faster (always nothing under CountingPath::planes, never under
/// CountingPath::reference). A code outside the alphabet is an
/// InternalError; the rows are read at most twice.
template <Alphabet A>
std::optional<ReferenceRows<A>> reference_rows(const RowSource& source, std::size_t rows,
                                               std::uint64_t length, CountingPath path,
                                               StopPoller& poller);

}  // namespace nj::detail
