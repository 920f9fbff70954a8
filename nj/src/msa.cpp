// SPDX-License-Identifier: MIT
#include "msa.hpp"

#include <algorithm>
#include <type_traits>

#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj {

// Texts are read in pieces of this many bytes, each without a branch per
// byte so that it vectorises, and the answer is looked at between pieces.
constexpr std::size_t piece_bytes = 256;

bool is_nucleotide_text(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t start = 0; start < text.size(); start += piece_bytes) {
    const std::size_t end = std::min(text.size(), start + piece_bytes);
    std::uint8_t all = 1;
    for (std::size_t k = start; k < end; ++k) all &= nucleotide_symbol(bytes[k]);
    if (all == 0) return false;
  }
  return true;
}

template <Alphabet A>
std::vector<std::uint8_t> encode(std::string_view text) {
  std::vector<std::uint8_t> row(text.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::uint8_t* codes = row.data();
  for (std::size_t k = 0; k < text.size(); ++k) {
    // The same codes as A::code (checked where it is defined); the DNA ones
    // without a branch, so that the loop vectorises.
    if constexpr (std::is_same_v<A, DNA>) {
      codes[k] = dna_code_branchless(bytes[k]);
    } else {
      codes[k] = A::code(bytes[k]);
    }
  }
  return row;
}

template <Alphabet A>
std::expected<void, std::string> MSA<A>::add_row(std::string identifier,
                                                 std::vector<std::uint8_t> row) {
  if (sequence_count != 0 && row.size() != length) {
    return std::unexpected(fill("All sequences must have the same length. Expected {}, got {}",
                                length, row.size()));
  }
  length = row.size();
  identifiers.push_back(std::move(identifier));
  sequences.push_back(std::move(row));
  ++sequence_count;
  return {};
}

template <Alphabet A>
MSA<A> MSA<A>::from_iter(std::vector<SequencePair> pairs) {
  MSA msa;
  msa.identifiers.reserve(pairs.size());
  msa.sequences.reserve(pairs.size());
  for (auto& [identifier, sequence] : pairs) {
    std::vector<std::uint8_t> row = encode<A>(sequence);
    std::string().swap(sequence);  // the text is no longer needed
    if (auto added = msa.add_row(std::move(identifier), std::move(row)); !added) {
      internal_failure("All sequences in an MSA must have the same length: " +
                       quote_escaped(added.error()));
    }
  }
  return msa;
}

std::expected<std::vector<std::uint64_t>, std::string> bootstrap_columns(
    std::uint64_t length, const SeedSource& seed_source) {
  const std::expected<std::uint64_t, std::string> seed = seed_source();
  if (!seed) return std::unexpected(fill("RNG error: {}", seed.error()));
  WyRand generator(*seed);
  std::vector<std::uint64_t> columns(length);
  for (std::uint64_t& column : columns) column = draw_below(generator, length);
  return columns;
}

template struct MSA<DNA>;
template struct MSA<Protein>;
template std::vector<std::uint8_t> encode<DNA>(std::string_view);
template std::vector<std::uint8_t> encode<Protein>(std::string_view);

}  // namespace nj
