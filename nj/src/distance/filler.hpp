// SPDX-License-Identifier: MIT
// Distances counted on encoded rows, under either missing-data rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "nj/stop.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit::detail {

/// Encoded rows, `row_words` words apart.
struct PlaneRows {
  const std::uint64_t* words;
  std::size_t row_words;
  std::size_t rows;
  std::uint64_t length;
};

/// A pair (i, j), j < i.
using RowPair = std::pair<std::size_t, std::size_t>;

/// Fills rows of a distance matrix, keeping its buffers and its table of
/// distances by counts from one call to the next. One per thread.
class DistanceFiller {
 public:
  virtual ~DistanceFiller() = default;
  /// Writes the distances of every pair (i, j), j < i, i in [i_first,
  /// i_end), into `matrix` (the condensed triangle of all rows).
  virtual void fill_rows(const PlaneRows& rows, std::size_t i_first, std::size_t i_end,
                         double* matrix, StopPoller& poller) = 0;
  /// The first pair (in matrix order) without a compared column since the
  /// last call; never one under the literal rule.
  virtual std::optional<RowPair> take_undefined() noexcept = 0;
};

/// A filler for rows of these residues under this rule and model; `pairs`
/// sizes its table (the pairs it will fill per build).
std::unique_ptr<DistanceFiller> make_filler(Residues residues, MissingRule rule,
                                            SubstitutionModel model, std::uint64_t length,
                                            std::size_t pairs);

/// The earlier of two pairs in matrix order.
std::optional<RowPair> earlier(std::optional<RowPair> a, std::optional<RowPair> b) noexcept;

/// The refusal of a model that does not suit the residues, in `nj`'s words.
std::optional<std::string> model_refusal(Residues residues, SubstitutionModel model);

/// "sequences "a" and "b" share no column ..." for a pair of `names`.
std::string undefined_message(const std::vector<std::string>& names, const RowPair& pair);

}  // namespace nj::kit::detail
