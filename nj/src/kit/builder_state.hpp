// SPDX-License-Identifier: MIT
// The state of an alignment being encoded row by row, shared by the
// builder of in-memory sequences and the FASTA reader.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "kit/plane_rows.hpp"
#include "kit/row_encoding.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit {

class AlignmentBuilder::State {
 public:
  /// `drop_white_space`: ASCII white space in appended text is no column.
  State(MissingRule rule, AlphabetChoice alphabet, std::string source, bool drop_white_space);

  /// Appends text to the row being read.
  void append(std::string_view text);
  /// Ends the row being read; refused when its length differs from the first.
  std::expected<void, std::string> end_row(std::string identifier);
  std::expected<Alignment, std::string> finish();

  /// `text` with the source in front, for messages.
  std::string message(std::string_view text) const;

 private:
  void reserve_row(std::size_t columns);
  void switch_to_protein();

  MissingRule rule_;
  Encoding encoding_;
  bool drop_white_space_;
  std::string source_;
  Translation table_;
  std::unique_ptr<std::uint8_t[]> row_;  // codes of the row being read
  std::size_t row_capacity_ = 0;
  std::size_t used_ = 0;
  std::uint8_t seen_ = 0;  // the codes of the row, or-ed together
  Alignment::Parts parts_;
};

}  // namespace nj::kit
