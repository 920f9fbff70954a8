// SPDX-License-Identifier: MIT
// The run driver: one configuration in, one Newick text out.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "nj/config.hpp"
#include "nj/stop.hpp"

namespace nj {

/// Told (completed, total) after each bootstrap replicate.
using ProgressFn = std::function<void(std::uint64_t completed, std::uint64_t total)>;

/// One configuration to one Newick text, or an error message. Broken
/// assumptions end in InternalError; when `should_stop` (asked between
/// replicates and during long computations) returns true the run is
/// abandoned with Cancelled. Exceptions thrown by `on_progress` abandon the
/// run and propagate unchanged. Everything is released on every path.
std::expected<std::string, std::string> nj(NJConfig config, const ProgressFn& on_progress = {},
                                           const StopCheck& should_stop = {});

}  // namespace nj
