// SPDX-License-Identifier: MIT
#include "msa.hpp"

#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj {

template <Alphabet A>
std::vector<std::uint8_t> encode(std::string_view text) {
  std::vector<std::uint8_t> row(text.size());
  for (std::size_t k = 0; k < text.size(); ++k) {
    row[k] = A::code(static_cast<std::uint8_t>(text[k]));
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
