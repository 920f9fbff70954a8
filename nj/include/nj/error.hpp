// SPDX-License-Identifier: MIT
// The core's two failure channels and the message helper they share.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nj {

/// A broken assumption inside a run. It unwinds the whole call; the binding
/// turns it into its own failure kind, distinct from a returned error.
class InternalError : public std::runtime_error {
 public:
  explicit InternalError(std::string message)
      : std::runtime_error(message),
        message_(std::make_shared<const std::string>(std::move(message))) {}

  /// The whole message: what() ends at its first NUL, if it holds one.
  std::string_view message() const noexcept { return *message_; }

 private:
  std::shared_ptr<const std::string> message_;  // shared, so copies cannot throw
};

/// Throws InternalError carrying `message`.
[[noreturn]] void internal_failure(std::string message);

namespace detail {
inline void append_arg(std::string& out, std::string_view text) { out += text; }
inline void append_arg(std::string& out, const char* text) { out += text; }
inline void append_arg(std::string& out, const std::string& text) { out += text; }
template <std::integral T>
void append_arg(std::string& out, T value) {
  out += std::to_string(value);
}
}  // namespace detail

/// Fills the "{}" placeholders of `format` with `args`, in order. Surplus
/// placeholders stay as they are.
template <class... Args>
std::string fill(std::string_view format, const Args&... args) {
  std::string out;
  out.reserve(format.size() + 16 * sizeof...(Args));
  std::size_t pos = 0;
  auto next = [&](const auto& arg) {
    const std::size_t at = format.find("{}", pos);
    if (at == std::string_view::npos) return;
    out.append(format.substr(pos, at - pos));
    detail::append_arg(out, arg);
    pos = at + 2;
  };
  (next(args), ...);
  out.append(format.substr(pos));
  return out;
}

}  // namespace nj
