// SPDX-License-Identifier: MIT
// Cooperative cancellation of long runs.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace nj {

/// Asked between units of work; returning true abandons the run.
using StopCheck = std::function<bool()>;

/// Thrown when a StopCheck asks the run to stop. It is neither a returned
/// error nor an internal failure: whoever asked knows why.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "run cancelled"; }
};

/// Calls a StopCheck after about `work_per_poll` units of work (a unit is
/// roughly one pair visit or one column compared, a few nanoseconds), so a
/// check costs nothing measurable yet comes every few milliseconds.
class StopPoller {
 public:
  static constexpr std::uint64_t default_work_per_poll = std::uint64_t{1} << 21;

  explicit StopPoller(const StopCheck& check,
                      std::uint64_t work_per_poll = default_work_per_poll) noexcept
      : check_(check ? &check : nullptr), work_per_poll_(work_per_poll) {}

  /// Records `work` units; throws Cancelled when a due check asks to stop.
  void spend(std::uint64_t work) {
    if (check_ == nullptr) return;
    spent_ += work;
    if (spent_ >= work_per_poll_) poll();
  }

  /// Checks at once; throws Cancelled when asked to stop.
  void poll() {
    spent_ = 0;
    if (check_ != nullptr && (*check_)()) throw Cancelled();
  }

 private:
  const StopCheck* check_;
  std::uint64_t work_per_poll_;
  std::uint64_t spent_ = 0;
};

}  // namespace nj
