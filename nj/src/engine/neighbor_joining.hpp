// SPDX-License-Identifier: MIT
// The Neighbor-Joining engines' entry points: a distance matrix in, its tree out.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "distance/matrix.hpp"
#include "distance/row_totals.hpp"
#include "nj/stop.hpp"
#include "tree.hpp"

namespace nj {

/// The root of a built tree, or the message of why none was built.
using TreeResult = std::expected<std::unique_ptr<TreeNode>, std::string>;

/// Builds the Neighbor-Joining tree of the matrix, which it consumes. The
/// error texts ("Empty distance matrix" and two that a correct engine never
/// reaches) are returned, not thrown. `should_stop` is polled every few
/// milliseconds of work; when it asks to stop, Cancelled is thrown. This is
/// the fast engine; its trees are those of neighbor_joining_plain.
TreeResult neighbor_joining(DistMat matrix, const StopCheck& should_stop = {});

/// The same, given the matrix's row totals as the build that wrote it added
/// them (row_totals of the matrix, bit for bit), which saves reading every
/// row again.
TreeResult neighbor_joining_with_totals(DistMat matrix, RowTotals totals,
                                        const StopCheck& should_stop = {});

/// The same as neighbor_joining with the plain engine, which scans every
/// live pair at every step: the reference the fast engine is held to.
TreeResult neighbor_joining_plain(DistMat matrix, const StopCheck& should_stop = {});

}  // namespace nj
