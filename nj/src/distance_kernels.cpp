// SPDX-License-Identifier: MIT
#include "distance_kernels.hpp"

#include <array>
#include <bit>
#include <type_traits>

#include "bit_planes.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define NJ_X86_64 1
// Wider code is compiled per function so that the library itself still runs
// on any x86-64; a kernel is only called once the processor has said yes.
#define NJ_TARGET_POPCNT __attribute__((target("popcnt")))
#define NJ_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define NJ_TARGET_AVX512 __attribute__((target("avx512f,avx512vpopcntdq")))
#else
#define NJ_X86_64 0
#endif

namespace nj::detail {

namespace {

using Word = std::uint64_t;

template <Alphabet A>
constexpr bool is_dna = std::is_same_v<A, DNA>;

// Plane p of word w of a block, `block` pointing at word w of plane 0.
constexpr std::size_t plane(std::size_t p) noexcept { return p * block_words; }

// A column differs when both rows hold a non-gap code and the codes differ;
// it is a transition when, in addition, both codes are known nucleotides
// that differ in the high bit only.
template <Alphabet A>
[[gnu::always_inline]] inline void word_masks(const Word* a, const Word* b, Word& difference,
                                              Word& transition) noexcept {
  if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    const Word low = a[plane(P::low)] ^ b[plane(P::low)];
    const Word high = a[plane(P::high)] ^ b[plane(P::high)];
    const Word known_a = a[plane(P::known)];
    const Word known_b = b[plane(P::known)];
    const Word present = a[plane(P::present)] & b[plane(P::present)];
    difference = (low | high | (known_a ^ known_b)) & present;
    transition = high & ~low & known_a & known_b;
  } else {
    using P = Planes<Protein>;
    Word differing = 0;
    for (std::size_t q = 0; q < P::bits; ++q) differing |= a[plane(q)] ^ b[plane(q)];
    difference = differing & a[plane(P::present)] & b[plane(P::present)];
    transition = 0;
  }
}

template <Alphabet A>
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
        word_masks<A>(run.row + block + w, b + block + w, difference, transition);
        differences += static_cast<std::uint64_t>(std::popcount(difference));
        transitions += static_cast<std::uint64_t>(std::popcount(transition));
      }
    }
    counts[k].differences += differences;
    counts[k].transitions += transitions;
  }
}

template <Alphabet A>
void count_portable(const RowRun& run, PairCounts* counts) noexcept {
  count_words<A>(run, counts);
}

#if NJ_X86_64

// The same loop; inlined here, std::popcount becomes the POPCNT instruction.
template <Alphabet A>
NJ_TARGET_POPCNT void count_popcnt(const RowRun& run, PairCounts* counts) noexcept {
  count_words<A>(run, counts);
}

struct Masks256 {
  __m256i difference;
  __m256i transition;
};

NJ_TARGET_AVX2 inline __m256i load256(const Word* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Bit counts of the four 64-bit lanes: a table lookup per nibble gives byte
// counts, and a sum of absolute differences against zero adds each lane's
// eight bytes.
NJ_TARGET_AVX2 inline __m256i popcount256(__m256i v) noexcept {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i low = _mm256_and_si256(v, nibble);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
  const __m256i bytes =
      _mm256_add_epi8(_mm256_shuffle_epi8(table, low), _mm256_shuffle_epi8(table, high));
  return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

// Adds the lane sums of both vectors to `counts`, pairing lanes of the two
// vectors in each step so that one short tree serves both.
NJ_TARGET_AVX2 inline void add_lanes(PairCounts& counts, __m256i differences,
                                     __m256i transitions) noexcept {
  const auto sums = __builtin_shufflevector(differences, transitions, 0, 4, 2, 6) +
                    __builtin_shufflevector(differences, transitions, 1, 5, 3, 7);
  counts.differences += static_cast<std::uint64_t>(sums[0] + sums[2]);
  counts.transitions += static_cast<std::uint64_t>(sums[1] + sums[3]);
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

template <Alphabet A>
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
        if constexpr (is_dna<A>) {
          transitions = _mm256_add_epi64(transitions, popcount256(m.transition));
        }
      }
    }
    add_lanes(counts[k], differences, transitions);
  }
}

struct Masks512 {
  __m512i difference;
  __m512i transition;
};

NJ_TARGET_AVX512 inline __m512i load512(const Word* p) noexcept { return _mm512_loadu_si512(p); }

// add_lanes for 512-bit vectors. Shuffles rather than
// _mm512_reduce_add_epi64, whose use of an undefined register trips g++ 12's
// uninitialised-value warnings.
NJ_TARGET_AVX512 inline void add_lanes(PairCounts& counts, __m512i differences,
                                       __m512i transitions) noexcept {
  const auto pairs = __builtin_shufflevector(differences, transitions, 0, 8, 2, 10, 4, 12, 6, 14) +
                     __builtin_shufflevector(differences, transitions, 1, 9, 3, 11, 5, 13, 7, 15);
  const auto sums = __builtin_shufflevector(pairs, pairs, 0, 1, 2, 3) +
                    __builtin_shufflevector(pairs, pairs, 4, 5, 6, 7);
  counts.differences += static_cast<std::uint64_t>(sums[0] + sums[2]);
  counts.transitions += static_cast<std::uint64_t>(sums[1] + sums[3]);
}

// word_masks on a whole block: `a` and `b` point at the block. Vector
// operators rather than intrinsics, for the reason above.
template <Alphabet A>
NJ_TARGET_AVX512 inline Masks512 masks512(const Word* a, const Word* b) noexcept {
  if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    const __m512i low = load512(a + plane(P::low)) ^ load512(b + plane(P::low));
    const __m512i high = load512(a + plane(P::high)) ^ load512(b + plane(P::high));
    const __m512i known_a = load512(a + plane(P::known));
    const __m512i known_b = load512(b + plane(P::known));
    const __m512i present = load512(a + plane(P::present)) & load512(b + plane(P::present));
    return {(low | high | (known_a ^ known_b)) & present, high & ~low & known_a & known_b};
  } else {
    using P = Planes<Protein>;
    __m512i differing = load512(a) ^ load512(b);
    for (std::size_t q = 1; q < P::bits; ++q) {
      differing |= load512(a + plane(q)) ^ load512(b + plane(q));
    }
    const __m512i present = load512(a + plane(P::present)) & load512(b + plane(P::present));
    return {differing & present, _mm512_setzero_si512()};
  }
}

template <Alphabet A>
NJ_TARGET_AVX512 void count_avx512(const RowRun& run, PairCounts* counts) noexcept {
  constexpr std::size_t block_size = PlaneShape<A>::block_size();
  const std::size_t words = run.blocks * block_size;
  for (std::size_t k = 0; k < run.count; ++k) {
    const Word* b = run.others + k * run.stride;
    __m512i differences = _mm512_setzero_si512();
    __m512i transitions = _mm512_setzero_si512();
    for (std::size_t block = 0; block < words; block += block_size) {
      const Masks512 m = masks512<A>(run.row + block, b + block);
      differences = _mm512_add_epi64(differences, _mm512_popcnt_epi64(m.difference));
      if constexpr (is_dna<A>) {
        transitions = _mm512_add_epi64(transitions, _mm512_popcnt_epi64(m.transition));
      }
    }
    add_lanes(counts[k], differences, transitions);
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

template <Alphabet A>
CountFn count_function(SimdLevel level) noexcept {
  switch (level) {
#if NJ_X86_64
    case SimdLevel::Popcnt: return &count_popcnt<A>;
    case SimdLevel::Avx2: return &count_avx2<A>;
    case SimdLevel::Avx512: return &count_avx512<A>;
#endif
    default: return &count_portable<A>;
  }
}

template CountFn count_function<DNA>(SimdLevel) noexcept;
template CountFn count_function<Protein>(SimdLevel) noexcept;

}  // namespace nj::detail
