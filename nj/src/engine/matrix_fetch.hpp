// SPDX-License-Identifier: MIT
// How the join steps fetch matrix values ahead of use: the update, and the
// rows written again from the matrix, read the same rows and columns.
#pragma once

#include <cstddef>

namespace nj::detail {

/// Live slots ahead at which a column value is fetched. Each lies in a row
/// of its own, one row of the matrix apart; 24 to 96 ahead made no
/// difference.
inline constexpr std::size_t column_ahead = 40;

/// Live slots ahead at which a row read in order is fetched. The live slots
/// skip through it too sparsely for the processor's own prefetching, and
/// several of them share each line, so the row is fetched further ahead.
inline constexpr std::size_t row_ahead = 160;

/// Fetches the line of `value` into the second-level cache only
/// (prefetcht2): each such line is used once, and lines pulled into the
/// first level push out the row sums and the row being made.
inline void fetch_to_read(const double* value) noexcept { __builtin_prefetch(value, 0, 1); }
inline void fetch_to_write(const double* value) noexcept { __builtin_prefetch(value, 1, 1); }

}  // namespace nj::detail
