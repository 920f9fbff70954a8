// SPDX-License-Identifier: MIT
#include "random.hpp"

#include <array>
#include <cstddef>

#include "os_random.hpp"

namespace nj {

namespace {

__extension__ using Wide = unsigned __int128;

Wide wide_product(std::uint64_t a, std::uint64_t b) noexcept {
  return static_cast<Wide>(a) * static_cast<Wide>(b);
}

std::uint64_t low_half(Wide value) noexcept { return static_cast<std::uint64_t>(value); }
std::uint64_t high_half(Wide value) noexcept { return static_cast<std::uint64_t>(value >> 64); }

}  // namespace

std::uint64_t WyRand::next() noexcept {
  state_ += 0xA0761D6478BD642F;
  const Wide product = wide_product(state_ ^ 0xE7037ED1A0B428DB, state_);
  return high_half(product) ^ low_half(product);
}

std::uint64_t draw_below(WyRand& generator, std::uint64_t range) noexcept {
  Wide product = wide_product(generator.next(), range);
  if (low_half(product) < range) {
    // 2^64 mod range: the candidates below it would make some results more
    // likely than others.
    const std::uint64_t threshold = (0 - range) % range;
    while (low_half(product) < threshold) product = wide_product(generator.next(), range);
  }
  return high_half(product);
}

std::expected<std::uint64_t, std::string> os_seed() {
  std::array<std::byte, 8> bytes{};
  if (auto filled = os_random::fill_bytes(bytes); !filled) return std::unexpected(filled.error());
  std::uint64_t seed = 0;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    seed |= static_cast<std::uint64_t>(bytes[k]) << (8 * k);
  }
  return seed;
}

}  // namespace nj
