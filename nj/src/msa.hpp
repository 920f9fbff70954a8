// SPDX-License-Identifier: MIT
// The validated, encoded alignment.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "alphabet.hpp"
#include "random.hpp"

namespace nj {

/// One (identifier, sequence text) pair of the input, in input order.
using SequencePair = std::pair<std::string, std::string>;

/// An alignment over alphabet A: identifiers in input order and one row of
/// symbol codes per sequence, all rows of equal length. Never changed once
/// built; resampling makes a new one.
template <Alphabet A>
struct MSA {
  std::vector<std::string> identifiers;
  std::vector<std::vector<std::uint8_t>> sequences;
  std::uint64_t sequence_count = 0;
  std::uint64_t length = 0;

  /// Encodes the pairs byte by byte, consuming them. Rows of unequal length
  /// are a broken assumption of the caller and end in an InternalError
  /// naming the first pair whose length differs.
  static MSA from_iter(std::vector<SequencePair> pairs);

  /// Appends one encoded row. A row whose length differs from the rows
  /// already present is refused with a message and nothing is appended.
  std::expected<void, std::string> add_row(std::string identifier,
                                           std::vector<std::uint8_t> row);

  std::span<const std::uint8_t> row(std::size_t k) const noexcept { return sequences[k]; }
};

/// Whether every byte of `text` is a nucleotide symbol (nucleotide_symbol).
bool is_nucleotide_text(std::string_view text) noexcept;

/// Encodes a sequence text, one code per byte (a multi-byte UTF-8 character
/// gives one unknown code per byte).
template <Alphabet A>
std::vector<std::uint8_t> encode(std::string_view text);

/// The column draw of one bootstrap replicate: `length` indices drawn
/// uniformly from [0, length) in draw order, from one fresh seed of
/// `seed_source`; when that fails, "RNG error: " followed by its description.
/// The replicate itself is never built: its distances come from the
/// alignment and the draw (DistanceWorkspace::from_resampled).
std::expected<std::vector<std::uint64_t>, std::string> bootstrap_columns(
    std::uint64_t length, const SeedSource& seed_source = os_seed);

extern template struct MSA<DNA>;
extern template struct MSA<Protein>;

}  // namespace nj
