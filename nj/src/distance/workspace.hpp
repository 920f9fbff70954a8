// SPDX-License-Identifier: MIT
// Distance matrices from bit-plane rows, with buffers kept between builds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "alphabet.hpp"
#include "distance/matrix.hpp"
#include "distance/row_totals.hpp"
#include "models.hpp"
#include "msa.hpp"
#include "nj/stop.hpp"

namespace nj {

namespace detail {
enum class SimdLevel : std::uint8_t;
enum class CountingPath : std::uint8_t;
struct WorkspaceBuffers;
}  // namespace detail

/// Builds distance matrices one after another, as the bootstrap replicates
/// of a run need them, keeping its buffers for the next build: the bit-plane
/// form of the rows (half a byte per DNA column, three quarters of a byte per
/// protein column), the counters of one tile of pairs, and a table of the
/// distances computed so far by their site counts (at most a quarter of the
/// matrix's memory), which later builds of the same model and length go on
/// filling. Every build gives the same values, bit for bit, as
/// plain_distances. Not for use by two threads at once.
class DistanceWorkspace {
 public:
  /// Counts with the widest instruction set the processor offers.
  DistanceWorkspace() noexcept;
  /// Counts at `level` (for tests and benchmarks); a level the processor
  /// lacks is an InternalError.
  explicit DistanceWorkspace(detail::SimdLevel level);
  DistanceWorkspace(DistanceWorkspace&&) noexcept;
  DistanceWorkspace& operator=(DistanceWorkspace&&) noexcept;
  ~DistanceWorkspace();

  /// The distances of `msa` under `model`, which must suit the alphabet
  /// (model_suits); any other pairing is an InternalError. Never fails
  /// otherwise: saturation gives infinity and an alignment without columns
  /// gives NaN. When most rows are close to one reference row, each pair is
  /// counted from the few words where both differ from it and exact copies
  /// of a row share its counts; otherwise 64 to 512 columns are counted at
  /// a time on bit planes of the rows. When `should_stop` asks to stop,
  /// Cancelled is thrown. With `totals`, the matrix's row totals go there,
  /// added as the rows are written.
  template <Alphabet A>
  DistMat from_msa(const MSA<A>& msa, SubstitutionModel model, const StopCheck& should_stop = {},
                   RowTotals* totals = nullptr);

  /// The distances of the resampled alignment whose column k is column
  /// `columns[k]` of `msa` (same identifiers, same rows), without building
  /// it. A column index of `msa.length` or more is an InternalError.
  template <Alphabet A>
  DistMat from_resampled(const MSA<A>& msa, std::span<const std::uint64_t> columns,
                         SubstitutionModel model, const StopCheck& should_stop = {},
                         RowTotals* totals = nullptr);

  /// Counts every later build the given way (for tests and benchmarks);
  /// by default the cheaper way is chosen for each alignment.
  void set_counting_path(detail::CountingPath path) noexcept { path_ = path; }

 private:
  std::unique_ptr<detail::WorkspaceBuffers> buffers_;  // owned, created on first use
  detail::SimdLevel level_;
  detail::CountingPath path_;
};

}  // namespace nj
