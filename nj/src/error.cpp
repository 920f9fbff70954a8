// SPDX-License-Identifier: MIT
#include "nj/error.hpp"

namespace nj {

void internal_failure(std::string message) { throw InternalError(std::move(message)); }

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

}  // namespace nj
