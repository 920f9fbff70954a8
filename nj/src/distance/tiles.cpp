// SPDX-License-Identifier: MIT
#include "distance/tiles.hpp"

namespace nj::detail {

// The values are not asked for in huge pages: on the virtual machines we
// measured, backing fresh 2 MB pages on first touch cost seconds of kernel
// time at large n, more than the joins' column reads gained from them.
std::vector<double> allocate_values(std::size_t count, const StopCheck& should_stop) {
  constexpr std::size_t step = std::size_t{1} << 22;
  std::vector<double> values;
  values.reserve(count);
  while (values.size() < count) {
    values.resize(std::min(count, values.size() + step));
    if (should_stop && should_stop()) throw Cancelled();
  }
  return values;
}

}  // namespace nj::detail
