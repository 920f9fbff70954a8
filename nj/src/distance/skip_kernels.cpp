// SPDX-License-Identifier: MIT
#include "distance/skip_kernels.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

#include "distance/kernel_lanes.hpp"

namespace nj::detail {

namespace {

using namespace lanes;

// A column is compared when both rows hold a residue there, and differs
// when, in addition, the residues differ; a DNA difference is a transition
// when only the high bit differs (A<->G, C<->T).
template <Alphabet A, bool Transitions>
[[gnu::always_inline]] inline void skip_masks(const Word* a, const Word* b, Word& difference,
                                              Word& transition, Word& compared) noexcept {
  if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    compared = a[plane(P::present)] & b[plane(P::present)];
    const Word low = a[plane(P::low)] ^ b[plane(P::low)];
    const Word high = a[plane(P::high)] ^ b[plane(P::high)];
    difference = (low | high) & compared;
    transition = Transitions ? high & ~low & compared : 0;
  } else {
    using P = Planes<Protein>;
    Word differing = 0;
    for (std::size_t q = 0; q < P::bits; ++q) differing |= a[plane(q)] ^ b[plane(q)];
    compared = a[plane(P::present)] & b[plane(P::present)];
    difference = differing & compared;
    transition = 0;
  }
}

SkipCounts add_earlier(const RowRun& run, const SkipCounts& earlier, const SkipCounts& sums) noexcept {
  if (run.first) return sums;
  return {earlier.differences + sums.differences, earlier.transitions + sums.transitions,
          earlier.compared + sums.compared, 0};
}

template <Alphabet A, bool Transitions>
[[gnu::always_inline]] inline void skip_words(const RowRun& run, SkipCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const std::size_t words = run.blocks * block_size;
  for (std::size_t k = 0; k < run.count; ++k) {
    const Word* b = run.others + k * run.stride;
    SkipCounts sums;
    for (std::size_t block = 0; block < words; block += block_size) {
      for (std::size_t w = 0; w < block_words; ++w) {
        Word difference, transition, compared;
        skip_masks<A, Transitions>(run.row + block + w, b + block + w, difference, transition,
                                   compared);
        sums.differences += static_cast<std::uint64_t>(std::popcount(difference));
        sums.transitions += static_cast<std::uint64_t>(std::popcount(transition));
        sums.compared += static_cast<std::uint64_t>(std::popcount(compared));
      }
    }
    counts[k] = add_earlier(run, counts[k], sums);
  }
}

template <Alphabet A, bool Transitions>
void skip_portable(const RowRun& run, SkipCounts* counts) noexcept {
  skip_words<A, Transitions>(run, counts);
}

#if NJ_X86_64

template <Alphabet A, bool Transitions>
NJ_TARGET_POPCNT void skip_popcnt(const RowRun& run, SkipCounts* counts) noexcept {
  skip_words<A, Transitions>(run, counts);
}

NJ_TARGET_AVX2 inline std::uint64_t lane_total(__m256i v) noexcept {
  const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(pair) + _mm_extract_epi64(pair, 1));
}

template <Alphabet A, bool Transitions>
NJ_TARGET_AVX2 void skip_avx2(const RowRun& run, SkipCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const std::size_t words = run.blocks * block_size;
  for (std::size_t k = 0; k < run.count; ++k) {
    const Word* b = run.others + k * run.stride;
    __m256i differences = _mm256_setzero_si256();
    __m256i transitions = _mm256_setzero_si256();
    __m256i compared = _mm256_setzero_si256();
    for (std::size_t block = 0; block < words; block += block_size) {
      for (std::size_t half = 0; half < block_words; half += 4) {
        const Word* x = run.row + block + half;
        const Word* y = b + block + half;
        __m256i both;
        __m256i differing;
        __m256i transition = _mm256_setzero_si256();
        if constexpr (is_dna<A>) {
          using P = Planes<DNA>;
          both = load256(x + plane(P::present)) & load256(y + plane(P::present));
          const __m256i low = load256(x + plane(P::low)) ^ load256(y + plane(P::low));
          const __m256i high = load256(x + plane(P::high)) ^ load256(y + plane(P::high));
          differing = low | high;
          if constexpr (Transitions) transition = _mm256_andnot_si256(low, high) & both;
        } else {
          using P = Planes<Protein>;
          both = load256(x + plane(P::present)) & load256(y + plane(P::present));
          differing = load256(x) ^ load256(y);
          for (std::size_t q = 1; q < P::bits; ++q) {
            differing |= load256(x + plane(q)) ^ load256(y + plane(q));
          }
        }
        differences = _mm256_add_epi64(differences, popcount256(differing & both));
        compared = _mm256_add_epi64(compared, popcount256(both));
        if constexpr (Transitions) {
          transitions = _mm256_add_epi64(transitions, popcount256(transition));
        }
      }
    }
    const SkipCounts sums{lane_total(differences), lane_total(transitions), lane_total(compared), 0};
    counts[k] = add_earlier(run, counts[k], sums);
  }
}

struct SkipSums512 {
  __m512i differences;
  __m512i transitions;
  __m512i compared;

  NJ_TARGET_AVX512 SkipSums512() noexcept
      : differences(_mm512_setzero_si512()),
        transitions(_mm512_setzero_si512()),
        compared(_mm512_setzero_si512()) {}

  template <Alphabet A, bool Transitions>
  NJ_TARGET_AVX512 void add(const Block512<A>& a, const Word* b) noexcept {
    if constexpr (is_dna<A>) {
      using P = Planes<DNA>;
      const __m512i both = _mm512_and_si512(a.planes[P::present], load512(b + plane(P::present)));
      const __m512i low = _mm512_xor_si512(a.planes[P::low], load512(b + plane(P::low)));
      const __m512i high = _mm512_xor_si512(a.planes[P::high], load512(b + plane(P::high)));
      differences += _mm512_popcnt_epi64(logic<or_and>(low, high, both));
      if constexpr (Transitions) {
        transitions += _mm512_popcnt_epi64(logic<and_not_and>(high, low, both));
      }
      compared += _mm512_popcnt_epi64(both);
    } else {
      using P = Planes<Protein>;
      __m512i differing = _mm512_xor_si512(a.planes[0], load512(b));
      for (std::size_t q = 1; q < P::bits; ++q) {
        differing = logic<xor_or>(a.planes[q], load512(b + plane(q)), differing);
      }
      const __m512i both = _mm512_and_si512(a.planes[P::present], load512(b + plane(P::present)));
      differences += _mm512_popcnt_epi64(_mm512_and_si512(differing, both));
      compared += _mm512_popcnt_epi64(both);
    }
  }
};

// The counts of two pairs as two SkipCounts: lane k holds the lane sum of
// the k-th vector.
NJ_TARGET_AVX512 inline __m512i two_pairs(const SkipSums512& s, const SkipSums512& t) noexcept {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i first = fold_quarters(fold_lanes(s.differences, s.transitions),
                                      fold_lanes(s.compared, zero));
  const __m512i second = fold_quarters(fold_lanes(t.differences, t.transitions),
                                       fold_lanes(t.compared, zero));
  return fold_quarters(first, second);
}

// Adds the counts of `pairs` (1 or 2) pairs to `counts`, or writes them
// there when `first`.
NJ_TARGET_AVX512 inline void store_pairs(SkipCounts* counts, std::size_t pairs, bool first,
                                         __m512i sums) noexcept {
  const auto mask = static_cast<__mmask8>(pairs == 2 ? 0xFF : 0x0F);
  auto* out = reinterpret_cast<Word*>(counts);
  const __m512i earlier = first ? _mm512_setzero_si512() : _mm512_maskz_loadu_epi64(mask, out);
  _mm512_mask_storeu_epi64(out, mask, earlier + sums);
}

// One row against `rows` (1 to 4) rows; rows beyond `rows` repeat the last
// one, and their counts are dropped.
template <Alphabet A, bool Transitions>
NJ_TARGET_AVX512 void skip_rows512(const RowRun& run, const Word* others, std::size_t rows,
                                   SkipCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const auto row = [&](std::size_t r) { return others + std::min(r, rows - 1) * run.stride; };
  const Word *b0 = row(0), *b1 = row(1), *b2 = row(2), *b3 = row(3);
  SkipSums512 s0, s1, s2, s3;
  for (std::size_t block = 0; block < run.blocks * block_size; block += block_size) {
    const Block512<A> a(run.row + block);
    s0.template add<A, Transitions>(a, b0 + block);
    s1.template add<A, Transitions>(a, b1 + block);
    s2.template add<A, Transitions>(a, b2 + block);
    s3.template add<A, Transitions>(a, b3 + block);
  }
  store_pairs(counts, std::min<std::size_t>(rows, 2), run.first, two_pairs(s0, s1));
  if (rows > 2) store_pairs(counts + 2, rows - 2, run.first, two_pairs(s2, s3));
}

template <Alphabet A, bool Transitions>
NJ_TARGET_AVX512 void skip_avx512(const RowRun& run, SkipCounts* counts) noexcept {
  static_assert(sizeof(SkipCounts) == 4 * sizeof(Word));
  constexpr std::size_t group = 4;
  for (std::size_t k = 0; k < run.count; k += group) {
    skip_rows512<A, Transitions>(run, run.others + k * run.stride,
                                 std::min(group, run.count - k), counts + k);
  }
}

#endif  // NJ_X86_64

struct SkipKernels {
  template <Alphabet A, bool Transitions>
  static constexpr SkipCountFn portable = &skip_portable<A, Transitions>;
#if NJ_X86_64
  template <Alphabet A, bool Transitions>
  static constexpr SkipCountFn popcnt = &skip_popcnt<A, Transitions>;
  template <Alphabet A, bool Transitions>
  static constexpr SkipCountFn avx2 = &skip_avx2<A, Transitions>;
  template <Alphabet A, bool Transitions>
  static constexpr SkipCountFn avx512 = &skip_avx512<A, Transitions>;
#endif
};

}  // namespace

template <Alphabet A>
SkipCountFn skip_count_function(SimdLevel level, bool transitions) noexcept {
  return kernel_for_level<SkipKernels, A>(level, transitions);
}

template SkipCountFn skip_count_function<DNA>(SimdLevel, bool) noexcept;
template SkipCountFn skip_count_function<Protein>(SimdLevel, bool) noexcept;

}  // namespace nj::detail
