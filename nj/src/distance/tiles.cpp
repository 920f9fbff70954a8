// SPDX-License-Identifier: MIT
#include "distance/tiles.hpp"

#include <sys/mman.h>

namespace nj::detail {

namespace {

// Only the whole huge pages inside the block are asked for, and a refusal
// changes nothing but the speed.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

}  // namespace

std::vector<double> allocate_values(std::size_t count, const StopCheck& should_stop) {
  constexpr std::size_t step = std::size_t{1} << 22;
  std::vector<double> values;
  values.reserve(count);
  advise_huge_pages(values.data(), count * sizeof(double));
  while (values.size() < count) {
    values.resize(std::min(count, values.size() + step));
    if (should_stop && should_stop()) throw Cancelled();
  }
  return values;
}

}  // namespace nj::detail
