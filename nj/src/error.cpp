// SPDX-License-Identifier: MIT
#include "nj/error.hpp"

namespace nj {

void internal_failure(std::string message) { throw InternalError(std::move(message)); }

}  // namespace nj
