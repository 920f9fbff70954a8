// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstring>
#include <vector>

#include "kit/builder_state.hpp"
#include "kit/workers.hpp"
#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj::kit {

namespace {

Encoding first_encoding(AlphabetChoice alphabet) noexcept {
  switch (alphabet) {
    case AlphabetChoice::dna: return Encoding::dna;
    case AlphabetChoice::protein: return Encoding::protein;
    case AlphabetChoice::automatic: return Encoding::open;
  }
  return Encoding::open;
}

Residues residues_of(Encoding encoding) noexcept {
  return encoding == Encoding::protein ? Residues::protein : Residues::dna;
}

}  // namespace

AlignmentBuilder::State::State(MissingRule rule, AlphabetChoice alphabet, std::string source,
                               bool drop_white_space)
    : rule_(rule),
      encoding_(first_encoding(alphabet)),
      drop_white_space_(drop_white_space),
      source_(std::move(source)),
      table_(translation(rule, encoding_, drop_white_space)) {
  parts_.missing = rule;
}

std::string AlignmentBuilder::State::message(std::string_view text) const {
  if (source_.empty()) return std::string(text);
  return fill("{}: {}", source_, text);
}

void AlignmentBuilder::State::reserve_row(std::size_t columns) {
  if (columns <= row_capacity_) return;
  const std::size_t capacity = std::max(columns, 2 * row_capacity_);
  auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (used_ > 0) std::memcpy(grown.get(), row_.get(), used_);
  row_ = std::move(grown);
  row_capacity_ = capacity;
}

void AlignmentBuilder::State::append(std::string_view text) {
  reserve_row(used_ + text.size());
  used_ += translate(table_, text, row_.get() + used_, seen_);
}

std::expected<void, std::string> AlignmentBuilder::State::end_row(std::string identifier) {
  const std::size_t number = parts_.identifiers.size() + 1;
  if (number == 1) {
    parts_.length = used_;
    parts_.row_words = row_words_for(residues_of(encoding_), used_);
  } else if (used_ != parts_.length) {
    const std::size_t columns = used_;
    used_ = 0;
    seen_ = 0;
    return std::unexpected(message(fill("sequence {} (number {}) has length {}, expected {}",
                                        quote_text(identifier), number, columns,
                                        parts_.length)));
  }
  if (encoding_ == Encoding::open && (seen_ & protein_only) != 0) switch_to_protein();
  const std::size_t at = parts_.planes.size();
  parts_.planes.resize(at + parts_.row_words);
  encode_row(encoding_, {row_.get(), used_}, parts_.planes.data() + at);
  parts_.identifiers.push_back(std::move(identifier));
  used_ = 0;
  seen_ = 0;
  return {};
}

// A byte that no DNA sequence holds: the rows so far, kept in the open form,
// become protein rows, and so does the row being read.
void AlignmentBuilder::State::switch_to_protein() {
  const std::size_t rows = parts_.identifiers.size();
  const std::size_t words = row_words_for(Residues::protein, parts_.length);
  PlaneBuffer planes;
  planes.resize(rows * words);
  std::vector<std::uint8_t> codes(parts_.length);
  for (std::size_t r = 0; r < rows; ++r) {
    decode_row(Encoding::open, parts_.planes.data() + r * parts_.row_words, parts_.length,
               codes.data());
    for (std::uint8_t& code : codes) code = open_to_protein(rule_, code);
    encode_row(Encoding::protein, codes, planes.data() + r * words);
  }
  for (std::size_t k = 0; k < used_; ++k) {
    const std::uint8_t code = row_[k];
    row_[k] = (code & protein_only) != 0 ? static_cast<std::uint8_t>(code & ~protein_only)
                                         : open_to_protein(rule_, code);
  }
  parts_.planes = std::move(planes);
  parts_.row_words = words;
  encoding_ = Encoding::protein;
  table_ = translation(rule_, encoding_, drop_white_space_);
}

std::expected<Alignment, std::string> AlignmentBuilder::State::finish() {
  if (parts_.identifiers.empty()) return std::unexpected(message("no sequences"));
  if (encoding_ == Encoding::open) {
    for (std::size_t r = 0; r < parts_.identifiers.size(); ++r) {
      open_to_dna(rule_, parts_.planes.data() + r * parts_.row_words, parts_.length);
    }
  }
  parts_.residues = residues_of(encoding_);
  return Alignment(std::move(parts_));
}

AlignmentBuilder::AlignmentBuilder(MissingRule missing, AlphabetChoice alphabet, std::string source)
    : state_(std::make_unique<State>(missing, alphabet, std::move(source), false)) {}
AlignmentBuilder::AlignmentBuilder(AlignmentBuilder&&) noexcept = default;
AlignmentBuilder& AlignmentBuilder::operator=(AlignmentBuilder&&) noexcept = default;
AlignmentBuilder::~AlignmentBuilder() = default;

std::expected<void, std::string> AlignmentBuilder::add(std::string identifier,
                                                       std::string_view sequence) {
  state_->append(sequence);
  return state_->end_row(std::move(identifier));
}

std::expected<Alignment, std::string> AlignmentBuilder::finish() { return state_->finish(); }

std::expected<Alignment, std::string> encode_sequences(std::vector<std::string> identifiers,
                                                       std::span<const std::string_view> sequences,
                                                       MissingRule missing, AlphabetChoice alphabet,
                                                       const Monitor& monitor) {
  if (identifiers.size() != sequences.size()) {
    internal_failure(fill("{} identifiers for {} sequences", identifiers.size(), sequences.size()));
  }
  std::expected<Alignment, std::string> result = std::unexpected(std::string());
  detail::run_on_workers(
      1,
      [&](unsigned, const StopCheck& should_stop) {
        AlignmentBuilder builder(missing, alphabet, "");
        StopPoller poller(should_stop);
        for (std::size_t k = 0; k < sequences.size(); ++k) {
          auto added = builder.add(std::move(identifiers[k]), sequences[k]);
          if (!added) {
            result = std::unexpected(std::move(added.error()));
            return;
          }
          poller.spend(sequences[k].size());
        }
        result = builder.finish();
      },
      nullptr, monitor);
  return result;
}

}  // namespace nj::kit
