// SPDX-License-Identifier: MIT
// How messages show texts and numbers: UTF-8 decoding, the two quoting
// styles and the rendering of floating-point values.
#pragma once

#include <cstddef>
#include <string>
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

/// The text with every byte that is not part of well-formed UTF-8 replaced
/// by U+FFFD, so that a message built from it stays valid UTF-8.
std::string valid_utf8(std::string_view text);

/// `text` between double quotes, with `"` and `\` escaped by a backslash.
std::string quote_escaped(std::string_view text);

/// `utf8` between double quotes as messages show texts: `"` and `\` get a
/// backslash; tab, CR, LF and NUL are written \t \r \n \0; characters that
/// are not printable or that extend a grapheme are written \u{hex}; all others
/// stand as they are. A byte that is not part of well-formed UTF-8 is written
/// \u{fffd}, one escape per byte, so the result is always valid UTF-8.
std::string quote_text(std::string_view utf8);

/// The shortest decimal digits that read back to `value`, never in exponent
/// form, with ".0" appended when they hold no "." ("2.5", "10.0",
/// "1000000000000000000000.0"); "inf", "-inf" and "NaN" for the others.
std::string render_float(double value);

}  // namespace nj
