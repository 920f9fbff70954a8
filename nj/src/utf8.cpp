// SPDX-License-Identifier: MIT
#include "nj/utf8.hpp"

namespace nj {

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

}  // namespace nj
