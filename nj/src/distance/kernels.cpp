// SPDX-License-Identifier: MIT
#include "distance/kernels.hpp"

#include <array>
#include <bit>
#include <type_traits>

#include "distance/kernel_lanes.hpp"

namespace nj::detail {

namespace {

using namespace lanes;

template <Alphabet A, bool Transitions>
[[gnu::always_inline]] inline void count_words(const RowRun& run, PairCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const std::size_t words = run.blocks * block_size;
  for (std::size_t k = 0; k < run.count; ++k) {
    const Word* b = run.others + k * run.stride;
    std::uint64_t differences = 0;
    std::uint64_t transitions = 0;
    for (std::size_t block = 0; block < words; block += block_size) {
      for (std::size_t w = 0; w < block_words; ++w) {
        Word difference;
        Word transition;
        word_masks<A, Transitions>(run.row + block + w, b + block + w, difference, transition);
        differences += static_cast<std::uint64_t>(std::popcount(difference));
        transitions += static_cast<std::uint64_t>(std::popcount(transition));
      }
    }
    const PairCounts earlier = run.first ? PairCounts{} : counts[k];
    counts[k] = {earlier.differences + differences, earlier.transitions + transitions};
  }
}

template <Alphabet A, bool Transitions>
void count_portable(const RowRun& run, PairCounts* counts) noexcept {
  count_words<A, Transitions>(run, counts);
}

#if NJ_X86_64

// The same loop; inlined here, std::popcount becomes the POPCNT instruction.
template <Alphabet A, bool Transitions>
NJ_TARGET_POPCNT void count_popcnt(const RowRun& run, PairCounts* counts) noexcept {
  count_words<A, Transitions>(run, counts);
}

struct Masks256 {
  __m256i difference;
  __m256i transition;
};

// Adds the lane sums of both vectors to `counts`, or writes them there when
// `first`, pairing lanes of the two vectors in each step so that one short
// tree serves both.
NJ_TARGET_AVX2 inline void add_lanes(PairCounts& counts, bool first, __m256i differences,
                                     __m256i transitions) noexcept {
  const auto sums = __builtin_shufflevector(differences, transitions, 0, 4, 2, 6) +
                    __builtin_shufflevector(differences, transitions, 1, 5, 3, 7);
  const PairCounts earlier = first ? PairCounts{} : counts;
  counts = {earlier.differences + static_cast<std::uint64_t>(sums[0] + sums[2]),
            earlier.transitions + static_cast<std::uint64_t>(sums[1] + sums[3])};
}

// word_masks on four words at once; `a` and `b` point at word w of plane 0.
// The vector operators compile to the same instructions as the intrinsics.
template <Alphabet A>
NJ_TARGET_AVX2 inline Masks256 masks256(const Word* a, const Word* b) noexcept {
  if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    const __m256i low = load256(a + plane(P::low)) ^ load256(b + plane(P::low));
    const __m256i high = load256(a + plane(P::high)) ^ load256(b + plane(P::high));
    const __m256i known_a = load256(a + plane(P::known));
    const __m256i known_b = load256(b + plane(P::known));
    const __m256i present = load256(a + plane(P::present)) & load256(b + plane(P::present));
    return {(low | high | (known_a ^ known_b)) & present, high & ~low & known_a & known_b};
  } else {
    using P = Planes<Protein>;
    __m256i differing = load256(a) ^ load256(b);
    for (std::size_t q = 1; q < P::bits; ++q) {
      differing |= load256(a + plane(q)) ^ load256(b + plane(q));
    }
    const __m256i present = load256(a + plane(P::present)) & load256(b + plane(P::present));
    return {differing & present, _mm256_setzero_si256()};
  }
}

template <Alphabet A, bool Transitions>
NJ_TARGET_AVX2 void count_avx2(const RowRun& run, PairCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const std::size_t words = run.blocks * block_size;
  for (std::size_t k = 0; k < run.count; ++k) {
    const Word* b = run.others + k * run.stride;
    __m256i differences = _mm256_setzero_si256();
    __m256i transitions = _mm256_setzero_si256();
    for (std::size_t block = 0; block < words; block += block_size) {
      for (std::size_t half = 0; half < block_words; half += 4) {
        const Masks256 m = masks256<A>(run.row + block + half, b + block + half);
        differences = _mm256_add_epi64(differences, popcount256(m.difference));
        if constexpr (Transitions) {
          transitions = _mm256_add_epi64(transitions, popcount256(m.transition));
        }
      }
    }
    add_lanes(counts[k], run.first, differences, transitions);
  }
}

struct Masks512 {
  __m512i difference;
  __m512i transition;
};

// word_masks on a whole block, `b` pointing at the block of the other row,
// in as few instructions as ternary logic allows: six for DNA, where the
// two masks share the low-bit difference, and six for protein. The
// instruction overwrites its first operand, hence the order of the
// operands.
template <Alphabet A, bool Transitions>
NJ_TARGET_AVX512 inline Masks512 masks512(const Block512<A>& a, const Word* b) noexcept {
  if constexpr (is_dna<A> && !Transitions) {
    using P = Planes<DNA>;
    const __m512i low = _mm512_xor_si512(a.planes[P::low], load512(b + plane(P::low)));
    const __m512i changed = logic<or_xor>(low, a.planes[P::high], load512(b + plane(P::high)));
    const __m512i differing =
        logic<or_xor>(changed, a.planes[P::known], load512(b + plane(P::known)));
    return {logic<and3>(differing, a.planes[P::present], load512(b + plane(P::present))),
            _mm512_setzero_si512()};
  } else if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    const __m512i low = _mm512_xor_si512(a.planes[P::low], load512(b + plane(P::low)));
    const __m512i b_high = load512(b + plane(P::high));
    const __m512i b_known = load512(b + plane(P::known));
    const __m512i changed = logic<xor_or>(b_high, a.planes[P::high], low);
    const __m512i high_only = logic<not_and_xor>(low, a.planes[P::high], b_high);
    const __m512i differing = logic<or_xor>(changed, a.planes[P::known], b_known);
    return {logic<and3>(differing, a.planes[P::present], load512(b + plane(P::present))),
            logic<and3>(high_only, a.planes[P::known], b_known)};
  } else {
    using P = Planes<Protein>;
    __m512i differing = _mm512_xor_si512(a.planes[0], load512(b));
    for (std::size_t q = 1; q < P::bits; ++q) {
      differing = logic<or_xor>(differing, a.planes[q], load512(b + plane(q)));
    }
    return {logic<and3>(differing, a.planes[P::present], load512(b + plane(P::present))),
            _mm512_setzero_si512()};
  }
}

// Rows compared with one row at a time: their sixteen (DNA) or eight
// (protein) accumulators, the row's planes and the other row's fill the
// 32 vector registers without spilling.
inline constexpr std::size_t rows512 = row_group;

// Lane k of the result holds the sum of the lanes of the k-th argument:
// three levels of folds rather than a reduction per vector.
NJ_TARGET_AVX512 inline __m512i lane_sums(__m512i x0, __m512i x1, __m512i x2, __m512i x3,
                                          __m512i x4, __m512i x5, __m512i x6,
                                          __m512i x7) noexcept {
  // Quarters of q01: partial sums of (x0, x1) twice, then of (x2, x3) twice.
  const __m512i q01 = fold_quarters(fold_lanes(x0, x1), fold_lanes(x2, x3));
  const __m512i q23 = fold_quarters(fold_lanes(x4, x5), fold_lanes(x6, x7));
  return fold_quarters(q01, q23);
}

// Adds `sums` (two words per pair) to counts[0 .. rows), rows <= 4, or
// writes them there when `first`.
NJ_TARGET_AVX512 inline void add_pairs(PairCounts* counts, std::size_t rows, bool first,
                                       __m512i sums) noexcept {
  const auto mask = static_cast<__mmask8>((1u << (2 * rows)) - 1);
  auto* out = reinterpret_cast<Word*>(counts);
  const __m512i earlier = first ? _mm512_setzero_si512() : _mm512_maskz_loadu_epi64(mask, out);
  _mm512_mask_storeu_epi64(out, mask, earlier + sums);
}

// The counts of one pair, lane by lane.
struct Sums512 {
  __m512i differences;
  __m512i transitions;

  NJ_TARGET_AVX512 Sums512() noexcept
      : differences(_mm512_setzero_si512()), transitions(_mm512_setzero_si512()) {}

  template <Alphabet A, bool Transitions>
  NJ_TARGET_AVX512 void add(const Block512<A>& a, const Word* b) noexcept {
    const Masks512 m = masks512<A, Transitions>(a, b);
    differences += _mm512_popcnt_epi64(m.difference);
    if constexpr (Transitions) transitions += _mm512_popcnt_epi64(m.transition);
  }

  // Each lane's transitions moved into the high half of its differences.
  NJ_TARGET_AVX512 __m512i packed() const noexcept {
    return _mm512_mask_shuffle_epi32(differences, 0xaaaa, transitions, _MM_PERM_CDAB);
  }
};

// One row against `rows` (1 to 8) rows, adding to counts[0 .. rows). Rows
// beyond `rows` repeat the last one, and their counts are dropped. The eight
// pairs' sums are named variables, not an array: g++ keeps an array this
// large in memory.
template <Alphabet A, bool Transitions>
NJ_TARGET_AVX512 void count_rows512(const RowRun& run, const Word* others, std::size_t rows,
                                    PairCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const auto row = [&](std::size_t r) { return others + std::min(r, rows - 1) * run.stride; };
  const Word *b0 = row(0), *b1 = row(1), *b2 = row(2), *b3 = row(3);
  const Word *b4 = row(4), *b5 = row(5), *b6 = row(6), *b7 = row(7);
  Sums512 s0, s1, s2, s3, s4, s5, s6, s7;
  for (std::size_t block = 0; block < run.blocks * block_size; block += block_size) {
    const Block512<A> a(run.row + block);
    s0.template add<A, Transitions>(a, b0 + block);
    s1.template add<A, Transitions>(a, b1 + block);
    s2.template add<A, Transitions>(a, b2 + block);
    s3.template add<A, Transitions>(a, b3 + block);
    s4.template add<A, Transitions>(a, b4 + block);
    s5.template add<A, Transitions>(a, b5 + block);
    s6.template add<A, Transitions>(a, b6 + block);
    s7.template add<A, Transitions>(a, b7 + block);
  }
  if constexpr (Transitions) {
    static_assert(max_run_blocks * block_columns < (std::uint64_t{1} << 32));
    // Lane sums of one pair's counts, differences in the low half of each
    // lane and transitions in the high one: a range's counts fit 32 bits
    // (max_run_blocks), so the halves never carry into one another, and
    // widening the halves back to 64 bits gives PairCounts, differences and
    // transitions alternating. One reduction instead of two.
    using Halves = std::uint32_t __attribute__((vector_size(64)));
    const auto sums = reinterpret_cast<Halves>(lane_sums(s0.packed(), s1.packed(), s2.packed(),
                                                         s3.packed(), s4.packed(), s5.packed(),
                                                         s6.packed(), s7.packed()));
    const Halves zero{};
    add_pairs(counts, std::min<std::size_t>(rows, 4), run.first,
              reinterpret_cast<__m512i>(__builtin_shufflevector(
                  sums, zero, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16, 6, 16, 7, 16)));
    if (rows > 4) {
      add_pairs(counts + 4, rows - 4, run.first,
                reinterpret_cast<__m512i>(__builtin_shufflevector(
                    sums, zero, 8, 16, 9, 16, 10, 16, 11, 16, 12, 16, 13, 16, 14, 16, 15, 16)));
    }
  } else {
    const __m512i differences =
        lane_sums(s0.differences, s1.differences, s2.differences, s3.differences,
                  s4.differences, s5.differences, s6.differences, s7.differences);
    const __m512i zero = _mm512_setzero_si512();
    add_pairs(counts, std::min<std::size_t>(rows, 4), run.first,
              __builtin_shufflevector(differences, zero, 0, 8, 1, 8, 2, 8, 3, 8));
    if (rows > 4) {
      add_pairs(counts + 4, rows - 4, run.first,
                __builtin_shufflevector(differences, zero, 4, 8, 5, 8, 6, 8, 7, 8));
    }
  }
}

template <Alphabet A, bool Transitions>
NJ_TARGET_AVX512 void count_avx512(const RowRun& run, PairCounts* counts) noexcept {
  static_assert(sizeof(PairCounts) == 2 * sizeof(Word));
  for (std::size_t k = 0; k < run.count; k += rows512) {
    count_rows512<A, Transitions>(run, run.others + k * run.stride, std::min(rows512, run.count - k),
                     counts + k);
  }
}

#endif  // NJ_X86_64

SimdLevel detect_best_level() noexcept {
  SimdLevel best = SimdLevel::Portable;
  for (SimdLevel level : {SimdLevel::Popcnt, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (simd_level_supported(level)) best = level;
  }
  return best;
}

}  // namespace

std::string_view simd_level_name(SimdLevel level) noexcept {
  switch (level) {
    case SimdLevel::Portable: return "portable";
    case SimdLevel::Popcnt: return "popcnt";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Avx512: return "avx512";
  }
  return "";
}

bool simd_level_supported(SimdLevel level) noexcept {
#if NJ_X86_64
  // Besides the instructions, the avx checks also ask whether the operating
  // system saves the wider registers. Initialising is idempotent; it matters
  // only if this runs before the library's constructors have.
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::Portable: return true;
    case SimdLevel::Popcnt: return __builtin_cpu_supports("popcnt");
    case SimdLevel::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    case SimdLevel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
  }
  return false;
#else
  return level == SimdLevel::Portable;
#endif
}

SimdLevel best_simd_level() noexcept {
  static const SimdLevel best = detect_best_level();
  return best;
}

std::span<const SimdLevel> supported_simd_levels() noexcept {
  static const auto levels = [] {
    std::array<SimdLevel, 4> found{};
    std::size_t count = 0;
    for (SimdLevel level :
         {SimdLevel::Portable, SimdLevel::Popcnt, SimdLevel::Avx2, SimdLevel::Avx512}) {
      if (simd_level_supported(level)) found[count++] = level;
    }
    return std::pair{found, count};
  }();
  return std::span<const SimdLevel>(levels.first.data(), levels.second);
}

namespace {

struct LiteralKernels {
  template <Alphabet A, bool Transitions>
  static constexpr CountFn portable = &count_portable<A, Transitions>;
#if NJ_X86_64
  template <Alphabet A, bool Transitions>
  static constexpr CountFn popcnt = &count_popcnt<A, Transitions>;
  template <Alphabet A, bool Transitions>
  static constexpr CountFn avx2 = &count_avx2<A, Transitions>;
  template <Alphabet A, bool Transitions>
  static constexpr CountFn avx512 = &count_avx512<A, Transitions>;
#endif
};

}  // namespace

template <Alphabet A>
CountFn count_function(SimdLevel level, bool transitions) noexcept {
  return kernel_for_level<LiteralKernels, A>(level, transitions);
}

template CountFn count_function<DNA>(SimdLevel, bool) noexcept;
template CountFn count_function<Protein>(SimdLevel, bool) noexcept;

}  // namespace nj::detail
