// SPDX-License-Identifier: MIT
#include "distance/reference_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "distance/kernel_lanes.hpp"

namespace nj::detail {

namespace {

using Word = std::uint64_t;

// The reference is the majority of a sample of rows, column by column:
// any row would give the same counts, but one close to most rows leaves
// the fewest words where both rows of a pair differ from it.
constexpr std::size_t sample_rows = 64;

// Boyer and Moore's majority vote over the sample, column by column: it
// finds the code held by more than half of the sample wherever there is
// one, in one pass and two bytes a column.
template <Alphabet A>
std::vector<std::uint8_t> majority_row(const RowSource& source, std::size_t rows,
                                       std::uint64_t length, StopPoller& poller) {
  std::vector<std::uint8_t> candidate(length, A::gap);
  std::vector<std::uint8_t> votes(length, 0);
  const std::size_t sample = std::min(rows, sample_rows);
  for (std::size_t s = 0; s < sample; ++s) {
    const std::span<const std::uint8_t> codes = source(s * rows / sample);
    for (std::size_t c = 0; c < length; ++c) {
      if (votes[c] == 0) candidate[c] = codes[c];
      votes[c] = static_cast<std::uint8_t>(candidate[c] == codes[c] ? votes[c] + 1 : votes[c] - 1);
    }
    poller.spend(length);
  }
  return candidate;
}

std::size_t word_columns(std::uint64_t length, std::size_t w) noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(64, length - 64 * w));
}

// Which words of each row differ from the reference, how many rows differ
// on each word, and the codes of the differing words (64 bytes each, rows
// one after another, words in order), so that no row is read again.
struct Survey {
  std::size_t summary_words = 0;
  std::vector<Word> maps;  // summary_words per row
  std::vector<std::uint32_t> rows_per_word;
  std::vector<std::uint8_t> word_codes;
};

// Beyond this share of differing words per row, on average over the rows
// read so far, counting from the reference cannot pay: the survey stops.
constexpr std::size_t hopeless_share = 4;  // a quarter of the words

bool hopeless(const Survey& survey, std::size_t rows_read, std::size_t words) noexcept {
  if (rows_read % sample_rows != 0) return false;
  std::uint64_t differing = 0;
  for (const std::uint32_t count : survey.rows_per_word) differing += count;
  return differing * hopeless_share > std::uint64_t{rows_read} * words;
}

template <Alphabet A>
std::optional<Survey> survey_rows(const RowSource& source, std::span<const std::uint8_t> reference,
                                  std::size_t rows, CountingPath path, StopPoller& poller) {
  const std::size_t words = (reference.size() + 63) / 64;
  Survey survey;
  survey.summary_words = (words + 63) / 64;
  survey.maps.assign(rows * survey.summary_words, 0);
  survey.rows_per_word.assign(words, 0);
  for (std::size_t k = 0; k < rows; ++k) {
    const std::span<const std::uint8_t> codes = source(k);
    check_codes<A>(codes);
    Word* map = survey.maps.data() + k * survey.summary_words;
    for (std::size_t w = 0; w < words; ++w) {
      const std::size_t columns = word_columns(reference.size(), w);
      if (std::memcmp(codes.data() + 64 * w, reference.data() + 64 * w, columns) != 0) {
        map[w / 64] |= Word{1} << (w % 64);
        ++survey.rows_per_word[w];
        const std::uint8_t* word = codes.data() + 64 * w;
        survey.word_codes.insert(survey.word_codes.end(), word, word + columns);
        survey.word_codes.resize(survey.word_codes.size() + 64 - columns);
      }
    }
    poller.spend(reference.size() / 8 + 1);
    if (path == CountingPath::automatic && hopeless(survey, k + 1, words)) return std::nullopt;
  }
  return survey;
}

// Rows that are exact copies of an earlier one are found by a hash of
// their differing words and confirmed word by word.
template <Alphabet A>
class DistinctRows {
 public:
  explicit DistinctRows(ReferenceRows<A>& rows) : rows_(rows) {}

  // The distinct row whose map and entries are the last ones appended, or
  // the earlier distinct row equal to them (the appended ones then removed).
  std::uint32_t settle(std::uint64_t entries_before) {
    const std::uint32_t candidate = static_cast<std::uint32_t>(rows_.totals.size() - 1);
    const std::uint64_t key = hash(candidate, entries_before);
    const auto [slot, inserted] = first_by_hash_.try_emplace(key, candidate);
    next_by_hash_.push_back(inserted ? none : slot->second);
    if (!inserted) {
      for (std::uint32_t u = slot->second; u != none; u = next_by_hash_[u]) {
        if (!same(u, candidate, entries_before)) continue;
        drop_last(entries_before);
        return u;
      }
      slot->second = candidate;
    }
    return candidate;
  }

 private:
  static constexpr std::uint32_t none = ~std::uint32_t{0};
  static constexpr std::size_t planes = ReferenceRows<A>::planes;

  const Word* map(std::uint32_t u) const noexcept {
    return rows_.differing.data() + u * rows_.summary_words;
  }
  std::uint64_t first_entry(std::uint32_t u) const noexcept {
    return rows_.entry_starts[u];
  }
  std::uint64_t entry_end(std::uint32_t u, std::uint64_t entries_before) const noexcept {
    return u + 1 < rows_.totals.size() - 1 ? first_entry(u + 1) : entries_before;
  }

  std::uint64_t hash(std::uint32_t u, std::uint64_t entries_before) const noexcept {
    std::uint64_t h = 0;
    const auto mix = [&h](Word x) { h = (std::rotl(h, 23) ^ x) * 0x9E3779B97F4A7C15; };
    for (std::size_t s = 0; s < rows_.summary_words; ++s) mix(map(u)[s]);
    for (std::uint64_t w = entries_before * planes; w < rows_.entry_planes.size(); ++w) {
      mix(rows_.entry_planes[w]);
    }
    return h;
  }

  bool same(std::uint32_t u, std::uint32_t candidate, std::uint64_t entries_before) const {
    if (!std::equal(map(u), map(u) + rows_.summary_words, map(candidate))) return false;
    const Word* begin = rows_.entry_planes.data();
    return std::equal(begin + first_entry(u) * planes,
                      begin + entry_end(u, entries_before) * planes,
                      begin + entries_before * planes, begin + rows_.entry_planes.size());
  }

  void drop_last(std::uint64_t entries_before) {
    rows_.differing.resize(rows_.differing.size() - rows_.summary_words);
    rows_.entry_starts.pop_back();
    rows_.totals.pop_back();
    rows_.entry_planes.resize(entries_before * planes);
    rows_.entry_counts.resize(entries_before);
    next_by_hash_.pop_back();
  }

  ReferenceRows<A>& rows_;
  std::unordered_map<std::uint64_t, std::uint32_t> first_by_hash_;
  std::vector<std::uint32_t> next_by_hash_;  // per distinct row: the previous one of its hash
};

// Appends a row as a new distinct row: its map, the planes of its
// differing words (whose codes are at `word_codes`, 64 bytes each) and
// their counts against the reference, whose planes are `reference_planes`.
template <Alphabet A>
void append_row(ReferenceRows<A>& rows, const std::uint8_t* word_codes, const Word* map,
                const std::vector<Word>& reference_planes) {
  constexpr std::size_t planes = ReferenceRows<A>::planes;
  PairCounts total;
  rows.entry_starts.push_back(rows.entry_counts.size());
  for (std::size_t s = 0; s < rows.summary_words; ++s) {
    rows.differing.push_back(map[s]);
    for (Word bits = map[s]; bits != 0; bits &= bits - 1) {
      const std::size_t w = 64 * s + static_cast<std::size_t>(std::countr_zero(bits));
      const std::size_t at = rows.entry_planes.size();
      rows.entry_planes.resize(at + planes);
      const std::span<const std::uint8_t> codes(word_codes, word_columns(rows.length, w));
      word_codes += 64;
      encode_word<A>(codes, 0, rows.entry_planes.data() + at, 1);
      Word difference;
      Word transition;
      lanes::word_masks<A, true, 1>(rows.entry_planes.data() + at,
                                    reference_planes.data() + w * planes, difference, transition);
      const WordCounts counts{static_cast<std::uint32_t>(std::popcount(difference)),
                              static_cast<std::uint32_t>(std::popcount(transition))};
      rows.entry_counts.push_back(counts);
      total.differences += counts.differences;
      total.transitions += counts.transitions;
    }
  }
  rows.totals.push_back(total);
}

// Sorts the entries by word (by counting), keeping the order of the rows
// within each word.
template <Alphabet A>
void index_by_word(ReferenceRows<A>& rows) {
  constexpr std::size_t planes = ReferenceRows<A>::planes;
  rows.word_starts.assign(rows.words + 1, 0);
  const auto each_entry = [&rows](auto visit) {
    std::uint64_t e = 0;
    for (std::uint32_t u = 0; u < rows.distinct(); ++u) {
      for (std::size_t s = 0; s < rows.summary_words; ++s) {
        for (Word bits = rows.differing[u * rows.summary_words + s]; bits != 0; bits &= bits - 1) {
          visit(u, 64 * s + static_cast<std::size_t>(std::countr_zero(bits)), e++);
        }
      }
    }
  };
  each_entry([&rows](std::uint32_t, std::size_t w, std::uint64_t) { ++rows.word_starts[w + 1]; });
  for (std::size_t w = 0; w < rows.words; ++w) rows.word_starts[w + 1] += rows.word_starts[w];
  rows.index.resize(rows.entry_counts.size());
  std::vector<std::size_t> next(rows.word_starts.begin(), rows.word_starts.end() - 1);
  each_entry([&rows, &next](std::uint32_t u, std::size_t w, std::uint64_t e) {
    WordEntry<A>& entry = rows.index[next[w]++];
    entry.row = u;
    entry.counts = rows.entry_counts[e];
    std::copy_n(rows.entry_planes.data() + e * planes, planes, entry.planes);
  });
}

template <Alphabet A>
ReferenceRows<A> collect_rows(std::span<const std::uint8_t> reference, const Survey& survey,
                              std::size_t rows, StopPoller& poller) {
  constexpr std::size_t planes = ReferenceRows<A>::planes;
  ReferenceRows<A> result;
  result.length = reference.size();
  result.words = survey.rows_per_word.size();
  result.summary_words = survey.summary_words;
  std::vector<Word> reference_planes(result.words * planes);
  for (std::size_t w = 0; w < result.words; ++w) {
    encode_word<A>(reference, 64 * w, reference_planes.data() + w * planes, 1);
  }
  DistinctRows<A> distinct(result);
  std::uint64_t words_before = 0;  // differing words of the rows before k
  for (std::size_t k = 0; k < rows; ++k) {
    const Word* map = survey.maps.data() + k * survey.summary_words;
    const std::uint64_t entries_before = result.entry_counts.size();
    append_row(result, survey.word_codes.data() + 64 * words_before, map, reference_planes);
    for (std::size_t s = 0; s < survey.summary_words; ++s) {
      words_before += static_cast<std::uint64_t>(std::popcount(map[s]));
    }
    const std::uint32_t u = distinct.settle(entries_before);
    if (u == result.first_row.size()) result.first_row.push_back(k);
    result.distinct_of.push_back(u);
    poller.spend(reference.size() / 8 + 1);
  }
  index_by_word(result);
  return result;
}

// Whether counting pair by pair from the reference is expected to beat the
// bit-plane kernels, for `rows` rows of `length` columns of which
// `rows_per_word[w]` differ from the reference on word w. Costs in
// nanoseconds per pair, measured on outbreak-like alignments and on evolved
// ones of 1,000 to 30,000 columns and 0.2 to 35 % differing sites: the
// bit-plane kernels (512-bit) spend about 3 a block of 512 columns;
// counting from the reference spends about 5 a pair and 4 a word where both
// rows differ from the reference, whose expected number over the pairs of
// rows is the sum over the words of the squared share of rows that differ
// there. Exact copies, which the reference path counts only once, are left
// out, and a margin keeps the choice safe where the two are close.
bool reference_pays(std::span<const std::uint32_t> rows_per_word, std::size_t rows,
                    std::uint64_t length) noexcept {
  if (rows < 2) return false;
  double shared = 0.0;
  for (const std::uint32_t count : rows_per_word) {
    const double share = static_cast<double>(count) / static_cast<double>(rows);
    shared += share * share;
  }
  const double reference_cost = 5.0 + 4.0 * shared;
  const double blocks = static_cast<double>((length + block_columns - 1) / block_columns);
  return 1.25 * reference_cost < 3.0 * blocks;
}

}  // namespace

template <Alphabet A>
std::optional<ReferenceRows<A>> reference_rows(const RowSource& source, std::size_t rows,
                                               std::uint64_t length, CountingPath path,
                                               StopPoller& poller) {
  if (path == CountingPath::planes || (path == CountingPath::automatic && rows < 2)) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t> reference = majority_row<A>(source, rows, length, poller);
  const std::optional<Survey> survey = survey_rows<A>(source, reference, rows, path, poller);
  if (!survey) return std::nullopt;
  if (path == CountingPath::automatic && !reference_pays(survey->rows_per_word, rows, length)) {
    return std::nullopt;
  }
  return collect_rows<A>(reference, *survey, rows, poller);
}

template std::optional<ReferenceRows<DNA>> reference_rows<DNA>(const RowSource&, std::size_t,
                                                               std::uint64_t, CountingPath,
                                                               StopPoller&);
template std::optional<ReferenceRows<Protein>> reference_rows<Protein>(const RowSource&,
                                                                       std::size_t, std::uint64_t,
                                                                       CountingPath, StopPoller&);

}  // namespace nj::detail
