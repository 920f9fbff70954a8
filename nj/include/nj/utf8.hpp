// SPDX-License-Identifier: MIT
// UTF-8 decoding for the texts the core writes into messages.
#pragma once

#include <cstddef>
#include <string_view>

namespace nj {

/// One well-formed UTF-8 sequence: its code point and its length in bytes.
struct DecodedChar {
  char32_t code_point;
  std::size_t length;  // 0 when the first byte does not start one
};

/// Decodes the sequence at the start of `bytes`. Overlong forms, surrogates,
/// values above U+10FFFF and stray or missing continuation bytes are not
/// well-formed (length 0).
DecodedChar decode_utf8(std::string_view bytes) noexcept;

/// Whether the whole text is well-formed UTF-8.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace nj
