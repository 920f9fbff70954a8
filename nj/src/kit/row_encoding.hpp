// SPDX-License-Identifier: MIT
// Bytes of sequence text to symbol codes, and rows of codes to bit planes
// and back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "distance/kernels.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit {

/// What a row's codes are: final DNA or protein codes (those of nj::DNA and
/// nj::Protein, see alphabet.hpp), or, while the alphabet is still open,
/// four-bit codes that keep every distinction either alphabet could need.
enum class Encoding : std::uint8_t { dna, protein, open };

/// In a translation table: a byte that is dropped (white space in FASTA
/// sequence lines), and the flag of a byte that no DNA sequence holds (its
/// protein code is in the low bits).
inline constexpr std::uint8_t dropped = 0x80;
inline constexpr std::uint8_t protein_only = 0x40;

using Translation = std::array<std::uint8_t, 256>;

/// The code of every byte under `rule` for `encoding`; with `drop_white_space`
/// the ASCII white space bytes are `dropped`.
Translation translation(MissingRule rule, Encoding encoding, bool drop_white_space) noexcept;

/// Translates `text` into `out` (room for text.size() codes), leaving out
/// the dropped bytes; returns the number of codes written and ors every
/// code into `seen`.
std::size_t translate(const Translation& table, std::string_view text, std::uint8_t* out,
                      std::uint8_t& seen) noexcept;

/// The protein code of a four-bit open code.
std::uint8_t open_to_protein(MissingRule rule, std::uint8_t open) noexcept;

/// Writes the planes of one row (row_words_for its residues, the open form
/// laid out as DNA) from its codes, one per column.
void encode_row(Encoding encoding, std::span<const std::uint8_t> codes, std::uint64_t* out);
/// The same at a given instruction-set level (for tests).
void encode_row(Encoding encoding, std::span<const std::uint8_t> codes, std::uint64_t* out,
                nj::detail::SimdLevel level);

/// The codes of a row's `length` columns, from its planes.
void decode_row(Encoding encoding, const std::uint64_t* row, std::uint64_t length,
                std::uint8_t* codes) noexcept;

/// Turns a row in the open form into DNA planes, in place.
void open_to_dna(MissingRule rule, std::uint64_t* row, std::uint64_t length) noexcept;

}  // namespace nj::kit
