// SPDX-License-Identifier: MIT
// Rows of symbol codes as bit planes: the layout the counting kernels read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "alphabet.hpp"

namespace nj::detail {

// A row is a sequence of blocks of 512 columns. Within a block each plane
// holds eight consecutive words (one 512-bit register), so that a kernel of
// any width reads one plane of one block with contiguous loads. Bit b of
// word w of a block stands for column 64 w + b of that block.
inline constexpr std::size_t block_words = 8;
inline constexpr std::size_t block_columns = 64 * block_words;

template <Alphabet A>
struct Planes;

// Nucleotide codes 0..5 in three bits: A 000, C 001, G 010, T 011, unknown
// 100, gap 101. Two present codes differ exactly when low, high or known
// differs (unknown has low = high = 0). Transitions (A<->G, C<->T) are
// exactly the pairs of known nucleotides that differ in the high bit only.
template <>
struct Planes<DNA> {
  static constexpr std::size_t low = 0;      // bit 0 of the code
  static constexpr std::size_t high = 1;     // bit 1 of the code
  static constexpr std::size_t known = 2;    // one of A, C, G, T
  static constexpr std::size_t present = 3;  // not a gap (nor padding)
  static constexpr std::size_t count = 4;
};

// Residue codes 0..21 as their five bits, one plane each; the gap (21) is
// the only code with bits 4, 2 and 0 all set. Two residues differ exactly
// when one of the five planes differs.
template <>
struct Planes<Protein> {
  static constexpr std::size_t bits = 5;
  static constexpr std::size_t present = 5;
  static constexpr std::size_t count = 6;
};

/// The size of the plane form of one row of `length` columns.
template <Alphabet A>
struct PlaneShape {
  std::size_t blocks = 0;

  explicit PlaneShape(std::uint64_t length) noexcept
      : blocks(static_cast<std::size_t>((length + block_columns - 1) / block_columns)) {}
  static constexpr std::size_t block_size() noexcept { return Planes<A>::count * block_words; }
  std::size_t row_words() const noexcept { return blocks * block_size(); }
};

/// Writes the planes of `codes` into `out` (row_words() words for
/// `codes.size()` columns). Columns beyond the row are neither present nor
/// known, and all their planes are zero, so they never count. A code
/// outside the alphabet is a broken assumption (InternalError). Returns
/// whether the row is complete: every column holds a known residue, no
/// unknown code and no gap.
template <Alphabet A>
bool encode_planes(std::span<const std::uint8_t> codes, std::uint64_t* out);

/// An InternalError when `codes` holds a code outside the alphabet.
template <Alphabet A>
void check_codes(std::span<const std::uint8_t> codes);

/// The planes of the 64 columns of `codes` from `first` (a multiple of 64),
/// as encode_planes writes them, each plane's word `stride` words after the
/// previous one's; the codes must have been checked.
template <Alphabet A>
void encode_word(std::span<const std::uint8_t> codes, std::size_t first, std::uint64_t* planes,
                 std::size_t stride) noexcept;

}  // namespace nj::detail
