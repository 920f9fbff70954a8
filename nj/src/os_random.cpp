// SPDX-License-Identifier: MIT
#include "os_random.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj::os_random {

namespace {

constexpr std::string_view unexpected_situation = "unexpected situation";

// glibc offers two strerror_r: the GNU one returns the text (which may or may
// not be in the buffer), the XSI one a status with the text in the buffer.
// Overloading on the return type accepts whichever the headers declare.
[[maybe_unused]] std::optional<std::string_view> strerror_text(const char* text,
                                                               const char* /*buffer*/) {
  if (text == nullptr) return std::nullopt;
  return std::string_view(text);
}

[[maybe_unused]] std::optional<std::string_view> strerror_text(int status, const char* buffer) {
  if (status != 0) return std::nullopt;
  return std::string_view(buffer);
}

// Captures errno at once, before anything else can overwrite it.
std::string last_error() { return describe_error(errno); }

ssize_t system_getrandom(void* buffer, std::size_t length, unsigned flags) {
  return static_cast<ssize_t>(::syscall(SYS_getrandom, buffer, length, flags));
}

int system_open(const char* path, int flags) { return ::open(path, flags); }

std::expected<void, std::string> wait_until_readable(int fd, const SystemCalls& calls) {
  pollfd request{fd, POLLIN, 0};
  for (;;) {
    errno = 0;
    const int ready = calls.poll(&request, 1, -1);
    if (ready > 0) return {};
    if (ready == 0 || errno == EINTR || errno == EAGAIN) continue;
    return std::unexpected(last_error());
  }
}

// One loop for both kinds of read: `read_some` is one call of getrandom or read.
template <class ReadSome>
std::expected<void, std::string> fill_by(std::span<std::byte> out, ReadSome read_some) {
  while (!out.empty()) {
    errno = 0;
    const ssize_t got = read_some(out);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_error());
    }
    const auto count = static_cast<std::size_t>(got);
    if (count == 0 || count > out.size()) return std::unexpected(std::string(unexpected_situation));
    out = out.subspan(count);
  }
  return {};
}

enum class Choice : int { undecided, getrandom, fallback };

// Written by whichever thread probes first; every prober finds the same answer.
std::atomic<Choice> chosen_source{Choice::undecided};

Choice choose_source() {
  Choice choice = chosen_source.load(std::memory_order_relaxed);
  if (choice == Choice::undecided) {
    choice = getrandom_unavailable(real_calls()) ? Choice::fallback : Choice::getrandom;
    chosen_source.store(choice, std::memory_order_relaxed);
  }
  return choice;
}

// The /dev/urandom descriptor, opened under the lock by the first caller to
// succeed and kept open for the rest of the process.
std::expected<int, std::string> fallback_descriptor() {
  static std::mutex guard;
  static int descriptor = -1;
  const std::lock_guard lock(guard);
  if (descriptor < 0) {
    auto opened = open_fallback(real_calls());
    if (!opened) return std::unexpected(opened.error());
    descriptor = *opened;
  }
  return descriptor;
}

}  // namespace

const SystemCalls& real_calls() noexcept {
  static constexpr SystemCalls calls{system_getrandom, system_open, ::poll, ::read, ::close};
  return calls;
}

std::string describe_error(int errnum) {
  if (errnum <= 0) return "errno: did not return a positive value";
  std::array<char, 128> buffer{};
  const std::optional<std::string_view> text =
      strerror_text(::strerror_r(errnum, buffer.data(), buffer.size()), buffer.data());
  if (text && is_valid_utf8(*text)) return std::string(*text);
  return fill("OS Error: {}", errnum);
}

bool getrandom_unavailable(const SystemCalls& calls) {
  std::byte unused{};
  errno = 0;
  if (calls.getrandom(&unused, 0, 0) >= 0) return false;
  return errno == ENOSYS || errno == EPERM;
}

std::expected<void, std::string> fill_by_getrandom(std::span<std::byte> out,
                                                   const SystemCalls& calls) {
  return fill_by(out, [&](std::span<std::byte> rest) {
    return calls.getrandom(rest.data(), rest.size(), 0);
  });
}

std::expected<void, std::string> fill_from_descriptor(int fd, std::span<std::byte> out,
                                                      const SystemCalls& calls) {
  return fill_by(out, [&](std::span<std::byte> rest) {
    return calls.read(fd, rest.data(), rest.size());
  });
}

std::expected<int, std::string> open_fallback(const SystemCalls& calls) {
  errno = 0;
  const int random_fd = calls.open("/dev/random", O_RDONLY | O_CLOEXEC);
  if (random_fd < 0) return std::unexpected(last_error());
  const auto ready = wait_until_readable(random_fd, calls);
  calls.close(random_fd);
  if (!ready) return std::unexpected(ready.error());
  errno = 0;
  const int urandom_fd = calls.open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (urandom_fd < 0) return std::unexpected(last_error());
  return urandom_fd;
}

std::expected<void, std::string> fill_bytes(std::span<std::byte> out) {
  if (choose_source() == Choice::getrandom) return fill_by_getrandom(out, real_calls());
  const auto fd = fallback_descriptor();
  if (!fd) return std::unexpected(fd.error());
  return fill_from_descriptor(*fd, out, real_calls());
}

}  // namespace nj::os_random
