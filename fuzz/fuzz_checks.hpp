// SPDX-License-Identifier: MIT
// What the fuzz targets check besides "no crash": a failed check stops the
// fuzzer with the offending input saved.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace nj::fuzz {

[[noreturn]] inline void check_failed(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz check failed: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void check(bool holds, const char* what, std::string_view detail = {}) {
  if (!holds) check_failed(what, detail);
}

/// Written independently of the core's own decoder, so that the two cannot
/// share a mistake.
inline bool is_valid_utf8(std::string_view text) {
  std::size_t k = 0;
  while (k < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[k]);
    std::size_t extra = 0;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (b0 < 0x80) {
      ++k;
      continue;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (text.size() - k <= extra) return false;
    for (std::size_t t = 1; t <= extra; ++t) {
      const auto b = static_cast<unsigned char>(text[k + t]);
      if (b < (t == 1 ? lo : 0x80) || b > (t == 1 ? hi : 0xBF)) return false;
    }
    k += extra + 1;
  }
  return true;
}

}  // namespace nj::fuzz
