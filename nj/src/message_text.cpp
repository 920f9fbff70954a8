// SPDX-License-Identifier: MIT
#include "message_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "nj/error.hpp"

namespace nj {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "unicode_tables.inc"

bool escaped_code_point(char32_t c) noexcept {
  const auto* begin = std::begin(escaped_code_points);
  const auto* at = std::upper_bound(begin, std::end(escaped_code_points), c,
                                    [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return at != begin && c <= std::prev(at)->last;
}

void append_code_point_escape(std::string& out, char32_t c) {
  std::array<char, 8> hex{};
  const auto written =
      std::to_chars(hex.data(), hex.data() + hex.size(), static_cast<std::uint32_t>(c), 16);
  out += "\\u{";
  out.append(hex.data(), written.ptr);
  out += '}';
}

// Appends one well-formed character (`bytes` is its UTF-8 form).
void append_quoted_char(std::string& out, char32_t c, std::string_view bytes) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  const bool plain_ascii = c >= 0x20 && c < 0x7F;
  if (!plain_ascii && escaped_code_point(c)) {
    append_code_point_escape(out, c);
  } else {
    out += bytes;
  }
}

// The number digits[0].digits[1..] x 10^exponent, written out in full.
std::string fixed_from_digits(bool negative, std::string_view digits, int exponent) {
  std::string out = negative ? "-" : "";
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, whole);
    out += '.';
    out += digits.substr(whole);
  }
  return out;
}

}  // namespace

DecodedChar decode_utf8(std::string_view bytes) noexcept {
  const auto byte = [&](std::size_t k) -> unsigned {
    return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u;
  };
  const auto trail = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return byte(k) >= lo && byte(k) <= hi;
  };
  const unsigned b0 = byte(0);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = trail(1) ? 2 : 0;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
    length = trail(1, lo, hi) && trail(2) ? 3 : 0;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
    length = trail(1, lo, hi) && trail(2) && trail(3) ? 4 : 0;
  }
  if (length == 0) return {0, 0};
  char32_t c = b0 & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (byte(k) & 0x3Fu);
  return {c, length};
}

bool is_valid_utf8(std::string_view text) noexcept {
  while (!text.empty()) {
    const DecodedChar decoded = decode_utf8(text);
    if (decoded.length == 0) return false;
    text.remove_prefix(decoded.length);
  }
  return true;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const DecodedChar d = decode_utf8(text);
    const std::size_t used = d.length == 0 ? 1 : d.length;
    out += d.length == 0 ? std::string_view{"\xEF\xBF\xBD"} : text.substr(0, used);
    text.remove_prefix(used);
  }
  return out;
}

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string quote_text(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  while (!utf8.empty()) {
    const DecodedChar d = decode_utf8(utf8);
    if (d.length == 0) {
      out += "\\u{fffd}";
      utf8.remove_prefix(1);
      continue;
    }
    append_quoted_char(out, d.code_point, utf8.substr(0, d.length));
    utf8.remove_prefix(d.length);
  }
  out += '"';
  return out;
}

std::string render_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest round-trip digits come from the scientific form: the fixed form
  // of to_chars writes the exact value of large numbers (1e23 as
  // 99999999999999991611392), not the shortest digits padded with zeros.
  std::array<char, 32> buffer{};
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                     std::chars_format::scientific);
  if (written.ec != std::errc{}) internal_failure("a number did not fit its rendering buffer");
  const std::string_view scientific(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
  const bool negative = scientific.front() == '-';
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e)) {
    if (c != '-' && c != '.') digits += c;
  }
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  return fixed_from_digits(negative, digits, exponent);
}

}  // namespace nj
