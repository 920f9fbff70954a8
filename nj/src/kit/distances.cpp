// SPDX-License-Identifier: MIT
// Distance matrices from alignments, on worker threads, and from arrays.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "distance/filler.hpp"
#include "distance/matrix.hpp"
#include "distance/tiles.hpp"
#include "kit/workers.hpp"
#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj::kit {

namespace {

// Rows i of the triangle are shared out in bands of one tile; the bands are
// handed out from the last (the longest rows) to the first, so that the
// threads finish together.
constexpr std::size_t band_rows = nj::detail::tile_rows;

struct Bands {
  std::size_t rows;
  std::size_t count() const noexcept { return (rows + band_rows - 1) / band_rows; }
};

}  // namespace

std::expected<Distances, std::string> alignment_distances(const Alignment& alignment,
                                                          const DistanceOptions& options,
                                                          const Monitor& monitor) {
  if (auto refusal = detail::model_refusal(alignment.residues(), options.model)) {
    return std::unexpected(std::move(*refusal));
  }
  const std::size_t n = alignment.size();
  Distances result{alignment.identifiers(), {}};
  detail::run_on_workers(
      1, [&](unsigned, const StopCheck& stop) { result.values = nj::detail::allocate_values(pair_count(n), stop); },
      nullptr, monitor);
  const Bands bands{n};
  const unsigned threads = static_cast<unsigned>(
      std::clamp<std::size_t>(options.threads, 1, std::max<std::size_t>(bands.count(), 1)));
  const detail::PlaneRows rows{alignment.planes().data(), alignment.row_words(), n,
                               alignment.length()};
  std::atomic<std::size_t> taken{0};
  std::vector<std::optional<detail::RowPair>> undefined(threads);
  detail::run_on_workers(
      threads,
      [&](unsigned worker, const StopCheck& stop) {
        auto filler = detail::make_filler(alignment.residues(), alignment.missing(), options.model,
                                          alignment.length(), pair_count(n) / threads);
        StopPoller poller(stop);
        for (std::size_t k = taken.fetch_add(1); k < bands.count(); k = taken.fetch_add(1)) {
          const std::size_t first = (bands.count() - 1 - k) * band_rows;
          filler->fill_rows(rows, first, std::min(n, first + band_rows), result.values.data(),
                            poller);
        }
        undefined[worker] = filler->take_undefined();
      },
      nullptr, monitor);
  if (options.undefined == Undefined::error) {
    std::optional<detail::RowPair> first;
    for (const auto& pair : undefined) first = detail::earlier(first, pair);
    if (first) return std::unexpected(detail::undefined_message(result.names, *first));
  }
  return result;
}

namespace {

bool same(double a, double b) noexcept { return a == b || (std::isnan(a) && std::isnan(b)); }

std::string pair_names(const std::vector<std::string>& names, std::size_t i, std::size_t j) {
  return fill("{} and {}", quote_text(names[i]), quote_text(names[j]));
}

}  // namespace

namespace {

// The checks and copies of an array, row by row of the triangle, asking
// whether to stop between rows.
std::expected<Distances, std::string> from_square(std::vector<std::string> names,
                                                  std::span<const double> values,
                                                  const StopCheck& should_stop) {
  const std::size_t n = names.size();
  Distances result{std::move(names), nj::detail::allocate_values(pair_count(n), should_stop)};
  StopPoller poller(should_stop);
  for (std::size_t hi = 0; hi < n; ++hi) {
    const double diagonal = values[hi * n + hi];
    if (diagonal != 0.0) {
      return std::unexpected(fill("the distance of {} to itself is {}, not 0",
                                  quote_text(result.names[hi]), render_float(diagonal)));
    }
    double* row = result.values.data() + pair_index(0, hi);
    for (std::size_t lo = 0; lo < hi; ++lo) {
      const double upper = values[lo * n + hi];
      const double lower = values[hi * n + lo];
      if (!same(upper, lower)) {
        return std::unexpected(fill("the matrix is not symmetric: the distance between {} is {} "
                                    "above the diagonal but {} below it",
                                    pair_names(result.names, lo, hi), render_float(upper),
                                    render_float(lower)));
      }
      row[lo] = lower;
    }
    poller.spend(hi + 1);
  }
  return result;
}

std::expected<Distances, std::string> from_condensed(std::vector<std::string> names,
                                                     std::span<const double> values,
                                                     const StopCheck& should_stop) {
  const std::size_t n = names.size();
  Distances result{std::move(names), nj::detail::allocate_values(values.size(), should_stop)};
  StopPoller poller(should_stop);
  // Row lo of the input holds the pairs (lo, hi), hi > lo; they go to
  // column lo of the triangle, one row apart.
  std::size_t at = 0;
  for (std::size_t lo = 0; lo < n; ++lo) {
    for (std::size_t hi = lo + 1; hi < n; ++hi) result.values[pair_index(lo, hi)] = values[at++];
    poller.spend(n - lo);
  }
  return result;
}

template <class Read>
std::expected<Distances, std::string> on_a_worker(Read read, const Monitor& monitor) {
  std::expected<Distances, std::string> result = std::unexpected(std::string());
  detail::run_on_workers(
      1, [&](unsigned, const StopCheck& should_stop) { result = read(should_stop); }, nullptr,
      monitor);
  return result;
}

}  // namespace

std::expected<Distances, std::string> distances_from_square(std::vector<std::string> names,
                                                            std::span<const double> values,
                                                            const Monitor& monitor) {
  const std::size_t n = names.size();
  if (values.size() != n * n) {
    return std::unexpected(fill("a square matrix of {} names needs {} values, not {}", n, n * n,
                                values.size()));
  }
  return on_a_worker([&](const StopCheck& stop) { return from_square(std::move(names), values, stop); },
                     monitor);
}

std::expected<Distances, std::string> distances_from_condensed(std::vector<std::string> names,
                                                               std::span<const double> values,
                                                               const Monitor& monitor) {
  const std::size_t n = names.size();
  if (values.size() != pair_count(n)) {
    return std::unexpected(fill("a condensed matrix of {} names needs {} values, not {}", n,
                                pair_count(n), values.size()));
  }
  return on_a_worker(
      [&](const StopCheck& stop) { return from_condensed(std::move(names), values, stop); }, monitor);
}

void write_square(const Distances& distances, double* out, std::size_t first_row,
                  std::size_t end_row) noexcept {
  const std::size_t n = distances.names.size();
  const double* values = distances.values.data();
  // Below the diagonal a row is read as it lies; above it, triangle row j
  // holds the column j entries of every row i < j side by side.
  for (std::size_t i = first_row; i < end_row; ++i) {
    std::copy_n(values + pair_index(0, i), i, out + i * n);
    out[i * n + i] = 0.0;
  }
  for (std::size_t j = first_row + 1; j < n; ++j) {
    const double* column = values + pair_index(0, j);
    for (std::size_t i = first_row; i < std::min(end_row, j); ++i) out[i * n + j] = column[i];
  }
}

}  // namespace nj::kit
