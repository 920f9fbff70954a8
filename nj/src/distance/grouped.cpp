// SPDX-License-Identifier: MIT
#include "distance/grouped.hpp"

#include <algorithm>

#include "distance/kernel_lanes.hpp"

namespace nj::detail {

using namespace lanes;

namespace {

#if NJ_X86_64

using Words = std::uint64_t __attribute__((vector_size(64)));

// Transposes eight rows of eight words: on entry rows[k] holds words 0..7
// of row k, on return rows[w] holds word w of rows 0..7. Three levels of
// shuffles, each pairing single words, then pairs, then fours.
NJ_TARGET_AVX512 inline void transpose(Words (&rows)[group_rows]) noexcept {
  Words pairs[group_rows];
  for (std::size_t r = 0; r < group_rows; r += 2) {
    pairs[r] = __builtin_shufflevector(rows[r], rows[r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    pairs[r + 1] = __builtin_shufflevector(rows[r], rows[r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  Words quads[group_rows];
  for (std::size_t r = 0; r < group_rows; r += 4) {
    for (std::size_t odd = 0; odd < 2; ++odd) {
      const Words x = pairs[r + odd];
      const Words y = pairs[r + 2 + odd];
      quads[r + odd] = __builtin_shufflevector(x, y, 0, 1, 8, 9, 4, 5, 12, 13);
      quads[r + 2 + odd] = __builtin_shufflevector(x, y, 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }
  // quads[q] and quads[4 + q] hold words q and q + 4 of rows 0-3 and 4-7.
  for (std::size_t q = 0; q < 4; ++q) {
    const Words x = quads[q];
    const Words y = quads[4 + q];
    rows[q] = __builtin_shufflevector(x, y, 0, 1, 2, 3, 8, 9, 10, 11);
    rows[q + 4] = __builtin_shufflevector(x, y, 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

NJ_TARGET_AVX512 void regroup512(const Word* first, std::size_t stride, std::size_t count,
                                 std::size_t blocks, Word* out) noexcept {
  constexpr std::size_t block_size = PlaneShape<DNA>::block_size();
  constexpr std::size_t regrouped[] = {Planes<DNA>::low, Planes<DNA>::high};
  for (std::size_t g = 0; g * group_rows < count; ++g) {
    const std::size_t rows = std::min(group_rows, count - g * group_rows);
    for (std::size_t b = 0; b < blocks; ++b) {
      for (const std::size_t p : regrouped) {
        const Word* source = first + g * group_rows * stride + b * block_size + plane(p);
        Words words[group_rows];
        for (std::size_t k = 0; k < group_rows; ++k) {
          words[k] = k < rows ? reinterpret_cast<Words>(load512(source + k * stride)) : Words{};
        }
        transpose(words);
        for (std::size_t w = 0; w < block_words; ++w) {
          _mm512_storeu_si512(out + w * group_rows, reinterpret_cast<__m512i>(words[w]));
        }
        out += group_rows * block_words;
      }
    }
  }
}

// Adds the counts of eight pairs, one a lane, to counts[0 .. rows), or
// writes them there when `first`; differences and transitions alternate
// there, as in PairCounts.
NJ_TARGET_AVX512 inline void add_counts(PairCounts* counts, std::size_t rows, bool first,
                                        __m512i differences, __m512i transitions) noexcept {
  static_assert(sizeof(PairCounts) == 2 * sizeof(Word));
  const auto mask = [](std::size_t pairs) {
    return static_cast<__mmask8>((1u << (2 * pairs)) - 1);
  };
  const __mmask8 masks[] = {mask(std::min<std::size_t>(rows, 4)), mask(rows > 4 ? rows - 4 : 0)};
  const __m512i pairs[] = {
      __builtin_shufflevector(differences, transitions, 0, 8, 1, 9, 2, 10, 3, 11),
      __builtin_shufflevector(differences, transitions, 4, 12, 5, 13, 6, 14, 7, 15)};
  auto* words = reinterpret_cast<Word*>(counts);
  for (std::size_t half = 0; half < 2; ++half) {
    Word* out = words + 8 * half;
    const __m512i earlier =
        first ? _mm512_setzero_si512() : _mm512_maskz_loadu_epi64(masks[half], out);
    _mm512_mask_storeu_epi64(out, masks[half], earlier + pairs[half]);
  }
}

// Between complete rows the known and present planes are all ones on the
// columns and all zeros past the end, as are the low and high planes
// there: two codes differ where low or high differs, by a transition
// where only high does, and by a transversion where low does. So with
// transitions, transversions are counted, and the differences are their
// sum with the transitions.
template <bool Transitions>
NJ_TARGET_AVX512 void count_grouped512(const GroupedRun& run, PairCounts* counts) noexcept {
  using P = Planes<DNA>;
  constexpr std::size_t block_size = PlaneShape<DNA>::block_size();
  const Word* group = run.groups;
  for (std::size_t g = 0; g * group_rows < run.count; ++g) {
    __m512i firsts = _mm512_setzero_si512();  // transversions, or differences
    __m512i transitions = _mm512_setzero_si512();
    for (std::size_t b = 0; b < run.blocks; ++b, group += group_block_words) {
      const Word* a = run.row + b * block_size;
      for (std::size_t w = 0; w < block_words; ++w) {
        const __m512i a_high = _mm512_set1_epi64(static_cast<long long>(a[plane(P::high) + w]));
        const __m512i low = _mm512_set1_epi64(static_cast<long long>(a[plane(P::low) + w])) ^
                            load512(group + w * group_rows);
        const __m512i b_high = load512(group + group_block_words / 2 + w * group_rows);
        if constexpr (Transitions) {
          firsts += _mm512_popcnt_epi64(low);
          transitions += _mm512_popcnt_epi64(logic<xor_and_not>(b_high, a_high, low));
        } else {
          firsts += _mm512_popcnt_epi64(logic<or_xor>(low, a_high, b_high));
        }
      }
    }
    const __m512i differences = Transitions ? firsts + transitions : firsts;
    add_counts(counts + g * group_rows, std::min(group_rows, run.count - g * group_rows),
               run.first, differences, transitions);
  }
}

#endif  // NJ_X86_64

}  // namespace

GroupedKernel grouped_kernel(SimdLevel level, bool transitions) noexcept {
#if NJ_X86_64
  if (level == SimdLevel::Avx512) {
    return {&regroup512, transitions ? &count_grouped512<true> : &count_grouped512<false>};
  }
#endif
  static_cast<void>(level);
  static_cast<void>(transitions);
  return {};
}

}  // namespace nj::detail
