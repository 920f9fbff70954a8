// SPDX-License-Identifier: MIT
// The two residue alphabets: how a byte of a sequence becomes a symbol code.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <string_view>

namespace nj {

/// Nucleotides: A C G T (either case) are 0..3, `-` is the gap, every other
/// byte is the unknown code.
struct DNA {
  static constexpr std::uint8_t gap = 5;
  static constexpr std::uint8_t unknown = 4;
  static constexpr std::uint8_t code(std::uint8_t byte) noexcept {
    switch (byte) {
      case 'A': case 'a': return 0;
      case 'C': case 'c': return 1;
      case 'G': case 'g': return 2;
      case 'T': case 't': return 3;
      case '-': return gap;
      default: return unknown;
    }
  }
};

/// DNA::code without branches, so that a loop over a text vectorises: the
/// letters are compared in lower case (a byte with bit 5 set), and only
/// A C G T of either case become a lower-case letter of theirs that way.
constexpr std::uint8_t dna_code_branchless(std::uint8_t byte) noexcept {
  const std::uint8_t lower = byte | 0x20;
  return static_cast<std::uint8_t>(4 - 4 * (lower == 'a') - 3 * (lower == 'c') -
                                   2 * (lower == 'g') - (lower == 't') + (byte == '-'));
}

constexpr bool dna_codes_agree() noexcept {
  for (unsigned byte = 0; byte < 256; ++byte) {
    const auto b = static_cast<std::uint8_t>(byte);
    if (dna_code_branchless(b) != DNA::code(b)) return false;
  }
  return true;
}
static_assert(dna_codes_agree());

/// 1 when `byte` is a nucleotide symbol, else 0: after ASCII upper-casing,
/// one of - A C G N T U (no byte of a multi-byte UTF-8 character is). A sum
/// of exclusive tests rather than a branch or a logical or, so that a loop
/// over a text vectorises.
constexpr std::uint8_t nucleotide_symbol(std::uint8_t byte) noexcept {
  const std::uint8_t lower = byte | 0x20;
  return static_cast<std::uint8_t>((byte == '-') + (lower == 'a') + (lower == 'c') +
                                   (lower == 'g') + (lower == 'n') + (lower == 't') +
                                   (lower == 'u'));
}

constexpr bool nucleotide_symbols_agree() noexcept {
  constexpr std::string_view symbols = "-ACGNTUacgntu";
  for (unsigned byte = 0; byte < 256; ++byte) {
    const auto b = static_cast<std::uint8_t>(byte);
    if ((nucleotide_symbol(b) == 1) != (symbols.find(static_cast<char>(b)) != symbols.npos)) {
      return false;
    }
  }
  return true;
}
static_assert(nucleotide_symbols_agree());

/// Amino acids in the order A R N D C Q E G H I L K M F P S T W Y V as
/// 0..19 (upper case only), `-` the gap, every other byte unknown.
struct Protein {
  static constexpr std::uint8_t gap = 21;
  static constexpr std::uint8_t unknown = 20;
  /// Indexed by byte - '-': covers '-' (45) through 'Y' (89).
  static constexpr std::uint8_t first_byte = '-';
  static constexpr std::array<std::uint8_t, 45> table = [] {
    std::array<std::uint8_t, 45> t{};
    t.fill(unknown);
    constexpr char residues[] = "ARNDCQEGHILKMFPSTWYV";
    for (std::uint8_t k = 0; k < 20; ++k) {
      t[static_cast<std::uint8_t>(residues[k]) - first_byte] = k;
    }
    t[0] = gap;
    return t;
  }();
  static constexpr std::uint8_t code(std::uint8_t byte) noexcept {
    const unsigned slot = static_cast<unsigned>(byte) - first_byte;
    return slot < table.size() ? table[slot] : unknown;
  }
};

template <class A>
concept Alphabet = requires(std::uint8_t byte) {
  { A::code(byte) } -> std::same_as<std::uint8_t>;
  { A::gap } -> std::convertible_to<std::uint8_t>;
  { A::unknown } -> std::convertible_to<std::uint8_t>;
};

static_assert(Alphabet<DNA> && Alphabet<Protein>);

}  // namespace nj
