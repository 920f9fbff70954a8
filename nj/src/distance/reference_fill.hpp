// SPDX-License-Identifier: MIT
// The distance matrix of rows held against a reference (reference_rows.hpp).
#pragma once

#include <functional>
#include <span>

#include "alphabet.hpp"
#include "distance/kernels.hpp"
#include "distance/matrix.hpp"
#include "distance/reference_rows.hpp"
#include "distance/row_totals.hpp"
#include "nj/stop.hpp"

namespace nj::detail {

/// Writes the distances of pairs with these counts to `out` (as many).
using StoreCounts = std::function<void(std::span<const PairCounts>, double*)>;

/// Fills `matrix` (of as many rows as `rows`) with the distances of every
/// pair, counting transitions only with `transitions` and with the
/// instructions of `level` (which must be supported). Each distinct row's
/// counts against the distinct rows before it are counted once; a row that
/// copies an earlier one takes those from the earlier row's distances and
/// counts only the distinct rows that first occur between the two. The
/// rows go to `totaller` as each is written.
template <Alphabet A>
void fill_from_reference(const ReferenceRows<A>& rows, bool transitions, SimdLevel level,
                         const StoreCounts& store, DistMat& matrix, RowTotaller& totaller,
                         StopPoller& poller);

}  // namespace nj::detail
