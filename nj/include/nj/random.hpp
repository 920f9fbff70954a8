// SPDX-License-Identifier: MIT
// Random numbers for column resampling: the generator, uniform draws from it
// and seeds from the operating system.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace nj {

/// The WyRand generator: one 64-bit word of state, taken as given (a seed is
/// not mixed), advanced by a fixed increment and folded through a 128-bit
/// product at every step.
class WyRand {
 public:
  explicit constexpr WyRand(std::uint64_t state) noexcept : state_(state) {}

  /// Advances the state by one step and returns that step's output.
  std::uint64_t next() noexcept;

  std::uint64_t state() const noexcept { return state_; }

 private:
  std::uint64_t state_;
};

/// A uniform draw from [0, range), range >= 1, by Lemire's multiply-and-reject
/// method. Every candidate, rejected or not, costs one generator step.
std::uint64_t draw_below(WyRand& generator, std::uint64_t range) noexcept;

/// Supplies a generator's starting state, or a description of why it cannot.
using SeedSource = std::function<std::expected<std::uint64_t, std::string>()>;

/// Eight bytes from the operating system's random source, read as a
/// little-endian number; on failure, the description of the failure.
std::expected<std::uint64_t, std::string> os_seed();

/// The system-call layer behind os_seed. Every step takes the calls it makes
/// as a table, so that tests can drive it with fakes; the process-wide source
/// uses the real calls.
namespace os_random {

/// The kernel calls the random source makes. Each returns a negative value
/// and sets errno on failure, as the C library's calls do.
struct SystemCalls {
  ssize_t (*getrandom)(void* buffer, std::size_t length, unsigned flags);
  int (*open)(const char* path, int flags);
  int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
  ssize_t (*read)(int fd, void* buffer, std::size_t length);
  int (*close)(int fd);
};

const SystemCalls& real_calls() noexcept;

/// The system's text for `errnum` when it is valid UTF-8, else
/// "OS Error: <errnum>"; for a non-positive number the text says that the
/// call gave none.
std::string describe_error(int errnum);

/// Whether the getrandom call is missing (a zero-byte probe fails with
/// ENOSYS) or forbidden (EPERM), so that the device files must serve instead.
bool getrandom_unavailable(const SystemCalls& calls);

/// Fills `out` with getrandom (no flags: it waits for the kernel's pool to
/// be initialised), continuing after partial reads and interruptions.
std::expected<void, std::string> fill_by_getrandom(std::span<std::byte> out,
                                                   const SystemCalls& calls);

/// Waits until /dev/random is readable (the pool is initialised), then opens
/// /dev/urandom and returns its descriptor. Both are opened close-on-exec.
std::expected<int, std::string> open_fallback(const SystemCalls& calls);

/// Fills `out` by reading `fd`, continuing after partial reads and interruptions.
std::expected<void, std::string> fill_from_descriptor(int fd, std::span<std::byte> out,
                                                      const SystemCalls& calls);

/// Fills `out` from the process's random source: getrandom when the probe,
/// made once per process, finds it usable; otherwise the /dev/urandom
/// descriptor, opened once per process and kept open.
std::expected<void, std::string> fill_bytes(std::span<std::byte> out);

}  // namespace os_random
}  // namespace nj
