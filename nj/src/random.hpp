// SPDX-License-Identifier: MIT
// Random numbers for column resampling: the generator, uniform draws from it
// and seeds from the operating system.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

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

}  // namespace nj
