// SPDX-License-Identifier: MIT
// The operating system's random source behind os_seed. Every step takes the
// calls it makes as a table, so that tests can drive it with fakes; the
// process-wide source uses the real calls.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace nj::os_random {

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

}  // namespace nj::os_random
