// SPDX-License-Identifier: MIT
// What the counting kernels of both missing-data rules share: the layout of
// a block's planes and the vector steps of the wider instruction sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "alphabet.hpp"
#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"
#include "simd.hpp"

#if NJ_X86_64
#include <immintrin.h>
#endif

namespace nj::detail::lanes {

using Word = std::uint64_t;

template <Alphabet A>
inline constexpr bool is_dna = std::is_same_v<A, DNA>;

/// Plane p of word w of a block, for a pointer at word w of plane 0.
constexpr std::size_t plane(std::size_t p) noexcept { return p * block_words; }

/// The columns of one word where two rows differ (both hold a non-gap code
/// and the codes differ), and where they differ by a transition (in
/// addition, both codes are known nucleotides that differ in the high bit
/// only). The words of one row's planes lie `Stride` apart: a block's
/// layout by default. Each comes with and without the transitions
/// (Transitions), since only Kimura2P reads them; without, they stay 0.
template <Alphabet A, bool Transitions, std::size_t Stride = block_words>
[[gnu::always_inline]] inline void word_masks(const Word* a, const Word* b, Word& difference,
                                              Word& transition) noexcept {
  if constexpr (is_dna<A>) {
    using P = Planes<DNA>;
    const Word low = a[P::low * Stride] ^ b[P::low * Stride];
    const Word high = a[P::high * Stride] ^ b[P::high * Stride];
    const Word known_a = a[P::known * Stride];
    const Word known_b = b[P::known * Stride];
    const Word present = a[P::present * Stride] & b[P::present * Stride];
    difference = (low | high | (known_a ^ known_b)) & present;
    transition = Transitions ? high & ~low & known_a & known_b : 0;
  } else {
    using P = Planes<Protein>;
    Word differing = 0;
    for (std::size_t q = 0; q < P::bits; ++q) differing |= a[q * Stride] ^ b[q * Stride];
    difference = differing & a[P::present * Stride] & b[P::present * Stride];
    transition = 0;
  }
}

#if NJ_X86_64

NJ_TARGET_AVX2 inline __m256i load256(const Word* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

/// Bit counts of the four 64-bit lanes: a table lookup per nibble gives byte
/// counts, and a sum of absolute differences against zero adds each lane's
/// eight bytes.
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

NJ_TARGET_AVX512 inline __m512i load512(const Word* p) noexcept { return _mm512_loadu_si512(p); }

/// A block's planes of one row, loaded once and compared with several rows.
template <Alphabet A>
struct Block512 {
  __m512i planes[Planes<A>::count];

  NJ_TARGET_AVX512 explicit Block512(const Word* block) noexcept {
    for (std::size_t p = 0; p < Planes<A>::count; ++p) planes[p] = load512(block + plane(p));
  }
};

/// Ternary logic: the truth table of f(x, y, z) as an immediate, computed
/// from the columns x = 0xf0, y = 0xcc, z = 0xaa. The instruction
/// overwrites its first operand.
template <int Table>
NJ_TARGET_AVX512 inline __m512i logic(__m512i x, __m512i y, __m512i z) noexcept {
  return _mm512_ternarylogic_epi64(x, y, z, Table);
}
inline constexpr int xor_or = (0xf0 ^ 0xcc) | 0xaa;        // (x ^ y) | z
inline constexpr int not_and_xor = ~0xf0 & (0xcc ^ 0xaa);  // ~x & (y ^ z)
inline constexpr int or_xor = 0xf0 | (0xcc ^ 0xaa);        // x | (y ^ z)
inline constexpr int and3 = 0xf0 & 0xcc & 0xaa;            // x & y & z
inline constexpr int or_and = (0xf0 | 0xcc) & 0xaa;        // (x | y) & z
inline constexpr int and_not_and = 0xf0 & ~0xcc & 0xaa;    // x & ~y & z
inline constexpr int xor_and_not = (0xf0 ^ 0xcc) & ~0xaa;  // (x ^ y) & ~z

/// Lane sums of neighbouring lanes: lane 2m holds x's lanes 2m and 2m + 1
/// added, lane 2m + 1 the same of y. Shuffles rather than the unpack
/// intrinsics, which start from an undefined register.
NJ_TARGET_AVX512 inline __m512i fold_lanes(__m512i x, __m512i y) noexcept {
  return __builtin_shufflevector(x, y, 0, 8, 2, 10, 4, 12, 6, 14) +
         __builtin_shufflevector(x, y, 1, 9, 3, 11, 5, 13, 7, 15);
}

/// The same one level up, on 128-bit quarters: quarters 0 and 1 of the
/// result hold x's quarters 0 + 1 and 2 + 3, quarters 2 and 3 the same of y.
NJ_TARGET_AVX512 inline __m512i fold_quarters(__m512i x, __m512i y) noexcept {
  return __builtin_shufflevector(x, y, 0, 1, 4, 5, 8, 9, 12, 13) +
         __builtin_shufflevector(x, y, 2, 3, 6, 7, 10, 11, 14, 15);
}

#endif  // NJ_X86_64

template <class Kernels, Alphabet A, bool Transitions>
auto kernel_at(SimdLevel level) noexcept {
  switch (level) {
#if NJ_X86_64
    case SimdLevel::Popcnt: return Kernels::template popcnt<A, Transitions>;
    case SimdLevel::Avx2: return Kernels::template avx2<A, Transitions>;
    case SimdLevel::Avx512: return Kernels::template avx512<A, Transitions>;
#endif
    default: return Kernels::template portable<A, Transitions>;
  }
}

/// The kernel of `level` from a family with one for every level (members
/// portable, popcnt, avx2 and avx512, each for an alphabet and whether it
/// counts transitions), counting transitions only when asked for and the
/// alphabet has them.
template <class Kernels, Alphabet A>
auto kernel_for_level(SimdLevel level, bool transitions) noexcept {
  if constexpr (is_dna<A>) {
    if (transitions) return kernel_at<Kernels, A, true>(level);
  }
  return kernel_at<Kernels, A, false>(level);
}

}  // namespace nj::detail::lanes
