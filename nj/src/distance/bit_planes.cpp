// SPDX-License-Identifier: MIT
#include "distance/bit_planes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "nj/error.hpp"

namespace nj::detail {

namespace {

using Word = std::uint64_t;

// The eight codes at `p` as one word, the first code in the lowest byte.
Word load_eight(const std::uint8_t* p) noexcept {
  Word word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// Bit q of each of the eight code bytes in `codes`, packed into one byte
// (code k to bit k). The multiplier sends byte k's bit to bit 56 + k without
// carries between the partial products.
Word gather_bit(Word codes, unsigned q) noexcept {
  constexpr Word low_bits = 0x0101010101010101;
  constexpr Word spread = 0x0102040810204080;
  return (((codes >> q) & low_bits) * spread) >> 56;
}

// Bits 0..Bits-1 of 64 codes as Bits words: bit k of word q is bit q of code k.
template <std::size_t Bits>
std::array<Word, Bits> code_bits(const std::uint8_t* codes) noexcept {
  std::array<Word, Bits> bits{};
  for (unsigned group = 0; group < 8; ++group) {
    const Word eight = load_eight(codes + 8 * group);
    for (unsigned q = 0; q < Bits; ++q) bits[q] |= gather_bit(eight, q) << (8 * group);
  }
  return bits;
}

// The code bits of the 64 columns from `first`, zero-padded past the row's
// end, and the mask of the columns that exist.
template <std::size_t Bits>
std::pair<std::array<Word, Bits>, Word> word_bits(std::span<const std::uint8_t> codes,
                                                  std::size_t first) noexcept {
  const std::size_t left = codes.size() - first;
  if (left >= 64) return {code_bits<Bits>(codes.data() + first), ~Word{0}};
  std::array<std::uint8_t, 64> tail{};
  std::memcpy(tail.data(), codes.data() + first, left);
  return {code_bits<Bits>(tail.data()), (Word{1} << left) - 1};
}

void write_word(std::span<const std::uint8_t> codes, std::size_t first, Word* slot,
                std::size_t stride, DNA) noexcept {
  using P = Planes<DNA>;
  const auto [c, live] = word_bits<3>(codes, first);
  slot[P::low * stride] = c[0];
  slot[P::high * stride] = c[1];
  slot[P::known * stride] = ~c[2] & live;
  slot[P::present * stride] = ~(c[2] & c[0]) & live;
}

void write_word(std::span<const std::uint8_t> codes, std::size_t first, Word* slot,
                std::size_t stride, Protein) noexcept {
  using P = Planes<Protein>;
  const auto [c, live] = word_bits<P::bits>(codes, first);
  for (std::size_t q = 0; q < P::bits; ++q) slot[q * stride] = c[q];
  slot[P::present * stride] = ~(c[4] & c[2] & c[0]) & live;
}

// The highest code of `codes`, an InternalError when the alphabet lacks it.
template <Alphabet A>
std::uint8_t checked_highest_code(std::span<const std::uint8_t> codes) {
  constexpr std::uint8_t top = std::max(A::gap, A::unknown);
  std::uint8_t highest = 0;
  for (const std::uint8_t code : codes) highest = std::max(highest, code);  // vectorises
  if (highest > top) {
    internal_failure(fill("an alignment row holds the code {}, which its alphabet does not have",
                          highest));
  }
  return highest;
}

}  // namespace

template <Alphabet A>
void check_codes(std::span<const std::uint8_t> codes) {
  checked_highest_code<A>(codes);
}

template <Alphabet A>
void encode_word(std::span<const std::uint8_t> codes, std::size_t first, std::uint64_t* planes,
                 std::size_t stride) noexcept {
  write_word(codes, first, planes, stride, A{});
}

// The known residues are the codes below the unknown code and the gap.
template <Alphabet A>
bool encode_planes(std::span<const std::uint8_t> codes, std::uint64_t* out) {
  static_assert(A::unknown < A::gap);
  const bool complete = checked_highest_code<A>(codes) < A::unknown;
  const PlaneShape<A> shape(codes.size());
  for (std::size_t w = 0; w < shape.blocks * block_words; ++w) {
    Word* slot = out + (w / block_words) * shape.block_size() + w % block_words;
    if (64 * w < codes.size()) {
      write_word(codes, 64 * w, slot, block_words, A{});
    } else {
      for (std::size_t p = 0; p < Planes<A>::count; ++p) slot[p * block_words] = 0;
    }
  }
  return complete;
}

template void check_codes<DNA>(std::span<const std::uint8_t>);
template void check_codes<Protein>(std::span<const std::uint8_t>);
template void encode_word<DNA>(std::span<const std::uint8_t>, std::size_t, std::uint64_t*,
                               std::size_t) noexcept;
template void encode_word<Protein>(std::span<const std::uint8_t>, std::size_t, std::uint64_t*,
                                   std::size_t) noexcept;
template bool encode_planes<DNA>(std::span<const std::uint8_t>, std::uint64_t*);
template bool encode_planes<Protein>(std::span<const std::uint8_t>, std::uint64_t*);

}  // namespace nj::detail
