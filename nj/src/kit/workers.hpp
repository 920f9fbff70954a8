// SPDX-License-Identifier: MIT
// Work shared out to threads while the calling thread keeps watch.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "nj/stop.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit::detail {

/// What each worker runs: its number (0 .. threads - 1) and the check that
/// tells it to stop (by throwing Cancelled, as StopPoller does).
using WorkerBody = std::function<void(unsigned worker, const StopCheck& should_stop)>;

/// Runs `body` on `threads` new threads. The calling thread waits in slices
/// of a few milliseconds, calling `monitor` with `*progress` (0 without)
/// after each and once more at the end; when it says no, every worker is
/// told to stop, and after all are joined Cancelled is thrown. Otherwise the
/// first exception a worker let out is thrown again once all are joined.
/// Whatever leaves this function, no worker is left running.
void run_on_workers(unsigned threads, const WorkerBody& body,
                    const std::atomic<std::uint64_t>* progress, const Monitor& monitor);

}  // namespace nj::kit::detail
