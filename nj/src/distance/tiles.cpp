// SPDX-License-Identifier: MIT
#include "distance/tiles.hpp"

#include <cstdint>

#include "nj/error.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nj::detail {

namespace {

// Backs the whole pages of [first, end) with memory in one system call:
// taking them one page fault at a time costs a fifth more on the virtual
// machines we measured. Only a hint: where the call is missing or fails,
// the first writes fault the pages in as usual.
void populate(double* first, double* end) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t page = 4096;
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(first) + page - 1) & ~(page - 1);
  const std::uintptr_t stop = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  if (stop > start) {
    static_cast<void>(madvise(reinterpret_cast<void*>(start), stop - start, MADV_POPULATE_WRITE));
  }
#else
  static_cast<void>(first);
  static_cast<void>(end);
#endif
}

}  // namespace

void grow_values(std::vector<double>& values, std::size_t count) {
  if (count <= values.size()) return;
  if (count > values.capacity()) internal_failure("the matrix would outgrow its reserved memory");
  populate(values.data() + values.size(), values.data() + count);
  values.resize(count);
}

// The values are not asked for in huge pages: on the virtual machines we
// measured, backing fresh 2 MB pages on first touch cost seconds of kernel
// time at large n, more than the joins' column reads gained from them.
std::vector<double> allocate_values(std::size_t count, const StopCheck& should_stop) {
  constexpr std::size_t step = std::size_t{1} << 22;
  std::vector<double> values;
  values.reserve(count);
  while (values.size() < count) {
    grow_values(values, std::min(count, values.size() + step));
    if (should_stop && should_stop()) throw Cancelled();
  }
  return values;
}

}  // namespace nj::detail
