// SPDX-License-Identifier: MIT
// The plain scan's rule for choosing the pair to join, and the scans that
// finish a run with it.
#pragma once

#include <cstddef>

#include "engine/state.hpp"
#include "nj/stop.hpp"

namespace nj {

/// The pair chosen so far by a scan that offers the live pairs in its order:
/// i ascending and, for each i, j ascending below i. A later pair replaces
/// the best unless best.q <= q: ties go to the pair met first, and a NaN on
/// either side lets the later pair win.
struct ScanChoice {
  std::size_t i = 0;
  std::size_t j = 0;
  double q = 0.0;
  bool found = false;

  void offer(std::size_t hi, std::size_t lo, double value) noexcept {
    if (!found || !(q <= value)) {
      i = hi;
      j = lo;
      q = value;
      found = true;
    }
  }
};

/// Performs the join steps that remain with the plain engine's own scan,
/// then the final join.
TreeResult finish_plain(NJState& state, StopPoller& poller);

/// Performs the join steps that remain, then the final join: the same
/// choices as the plain engine, found by scanning from the last pair
/// backwards up to the last NaN (rows read through a list of the live slots,
/// four pairs tested at once), from whatever state the fast engine left.
TreeResult finish_scanning(NJState& state, StopPoller& poller);

}  // namespace nj
