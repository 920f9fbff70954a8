// SPDX-License-Identifier: MIT
#include "distance/workspace.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "distance/bit_planes.hpp"
#include "distance/grouped.hpp"
#include "distance/kernels.hpp"
#include "distance/reference_fill.hpp"
#include "distance/reference_rows.hpp"
#include "distance/row_totals.hpp"
#include "distance/table.hpp"
#include "distance/tiles.hpp"
#include "nj/error.hpp"

namespace nj {

namespace detail {

namespace {

template <Alphabet A>
SiteCounts site_counts(const PairCounts& counts, std::uint64_t length) noexcept {
  if constexpr (std::is_same_v<A, DNA>) {
    return {counts.differences, counts.transitions, counts.differences - counts.transitions,
            length};
  } else {
    return {counts.differences, 0, 0, length};
  }
}

}  // namespace

// Words aligned to 64 bytes and left uninitialised, since the encoding
// writes every one: zeroing them first would page in hundreds of megabytes
// before the first stop check. Grows, never shrinks.
class WordBuffer {
 public:
  std::uint64_t* reserve(std::size_t words) {
    if (words > capacity_) {
      storage_.reset();  // release before allocating the larger buffer
      storage_ = std::make_unique_for_overwrite<std::uint64_t[]>(words + block_words);
      capacity_ = words;
    }
    void* start = storage_.get();
    std::size_t space = (capacity_ + block_words) * sizeof(std::uint64_t);
    return static_cast<std::uint64_t*>(std::align(64, words * sizeof(std::uint64_t), start, space));
  }

 private:
  std::unique_ptr<std::uint64_t[]> storage_;
  std::size_t capacity_ = 0;
};

/// Everything a workspace keeps from one build to the next.
struct WorkspaceBuffers {
  WordBuffer planes;                   // the rows in plane form, see bit_planes.hpp
  std::vector<std::uint64_t> sorted_columns;  // the draw of a resampled build, in order
  std::vector<std::uint8_t> gathered;         // one resampled row
  std::vector<PairCounts> tile_counts;
  std::vector<std::size_t> incomplete_before;  // rows that are not complete before each row
  std::vector<std::uint64_t> grouped;          // a range of a run of complete rows, regrouped
  DistanceTable table;
};

namespace {

// Turns counts into distances: by the table when it serves the build, else
// by the formula.
template <Alphabet A>
struct CountsToDistances {
  std::uint64_t length;
  SubstitutionModel model;
  DistanceTable* table;  // null when each distance is computed

  void operator()(std::span<const PairCounts> counts, double* out) const {
    if (table) {
      table->look_up(counts, out);
      return;
    }
    for (std::size_t k = 0; k < counts.size(); ++k) {
      out[k] = distance_from_counts(model, site_counts<A>(counts[k], length));
    }
  }
};

template <Alphabet A>
struct Job {
  const std::uint64_t* planes;
  PlaneShape<A> shape;
  TilePlan plan;
  CountFn count;
  GroupedKernel grouped;                 // for complete DNA rows, where there is one
  const std::size_t* incomplete_before;  // n + 1 counts, see WorkspaceBuffers
  CountsToDistances<A> store;

  // Whether the rows [first, end) are all complete.
  bool complete(std::size_t first, std::size_t end) const noexcept {
    return incomplete_before[end] == incomplete_before[first];
  }
};

// Counts the tile's pairs range of blocks by range, and turns each row's
// counts into distances right after its last range, while they are still
// in the first-level cache. Where the run's rows are complete, each range
// of them is regrouped (into `grouped`) for the complete rows i.
template <Alphabet A>
void fill_tile(const Job<A>& job, const Tile& tile, PairCounts* counts, std::uint64_t* grouped,
               DistMat& matrix, StopPoller& poller) {
  const bool regroup = job.grouped && job.complete(tile.j_first, tile.j_end);
  const std::size_t stride = job.shape.row_words();
  const std::uint64_t work = tile.pairs();
  // The first range writes the counts, so even rows of no blocks get one
  // (empty) range.
  for (std::size_t b = 0; b == 0 || b < job.shape.blocks; b += job.plan.chunk_blocks) {
    const std::size_t offset = b * PlaneShape<A>::block_size();
    const std::size_t blocks = std::min(job.plan.chunk_blocks, job.shape.blocks - b);
    const bool last = b + blocks >= job.shape.blocks;
    if (regroup) {
      job.grouped.regroup(job.planes + tile.j_first * stride + offset, stride, tile.width(), blocks,
                          grouped);
    }
    for (std::size_t i = tile.i_first; i < tile.i_end; ++i) {
      PairCounts* const row_counts = counts + (i - tile.i_first) * tile.width();
      const RowRun run{job.planes + i * stride + offset,
                       job.planes + tile.j_first * stride + offset, stride, tile.run_length(i),
                       blocks, b == 0};
      if (regroup && job.complete(i, i + 1)) {
        job.grouped.count({run.row, grouped, run.count, blocks, run.first}, row_counts);
      } else {
        job.count(run, row_counts);
      }
      // The run's pairs (i, j) lie side by side in the matrix.
      if (last) {
        job.store({row_counts, run.count}, matrix.distances.data() + pair_index(tile.j_first, i));
      }
    }
    poller.spend(work * blocks * block_words);
  }
}

// Walks the triangle in tiles of rows i, each against runs of earlier rows j.
// The matrix, reserved, grows by the rows of a tile just before they are
// written, so that they are zeroed and written over while in the cache,
// not in two passes over the whole matrix; for the same reason the rows'
// totals are added right after each tile of rows.
template <Alphabet A>
void fill_matrix(const Job<A>& job, WorkspaceBuffers& buffers, DistMat& matrix,
                 RowTotaller& totaller, StopPoller& poller) {
  const std::size_t n = matrix.size();
  std::vector<PairCounts>& counts = buffers.tile_counts;
  const std::size_t groups = (job.plan.run_rows + group_rows - 1) / group_rows;
  buffers.grouped.resize(job.grouped ? groups * job.plan.chunk_blocks * group_block_words : 0);
  for (std::size_t i0 = 0; i0 < n; i0 += tile_rows) {
    const std::size_t i_end = std::min(n, i0 + tile_rows);
    grow_values(matrix.distances, pair_count(i_end));
    for (std::size_t j0 = 0; j0 + 1 < i_end; j0 += job.plan.run_rows) {
      const Tile tile{std::max(i0, j0 + 1), i_end, j0, std::min(j0 + job.plan.run_rows, i_end - 1)};
      // No zeroing: the first range of blocks writes every count.
      counts.resize((tile.i_end - tile.i_first) * tile.width());
      fill_tile(job, tile, counts.data(), buffers.grouped.data(), matrix, poller);
      poller.spend(tile.pairs());
    }
    totaller.add_rows(matrix.distances.data(), i_end);
  }
}

template <Alphabet A>
void check_rows(const MSA<A>& msa) {
  bool consistent = msa.sequences.size() == msa.identifiers.size();
  for (const auto& row : msa.sequences) consistent = consistent && row.size() == msa.length;
  if (!consistent) {
    internal_failure("the alignment's rows do not match its identifiers and its length");
  }
}

// The matrix counted on the bit planes of the rows, into the memory
// reserved for it.
template <Alphabet A, class RowCodes>
void fill_from_planes(WorkspaceBuffers& buffers, SimdLevel level, std::uint64_t length,
                      RowCodes row_codes, const CountsToDistances<A>& store, DistMat& matrix,
                      RowTotaller& totaller, StopPoller& poller) {
  const std::size_t n = matrix.size();
  const PlaneShape<A> shape(length);
  std::uint64_t* planes = buffers.planes.reserve(n * shape.row_words());
  std::vector<std::size_t>& incomplete_before = buffers.incomplete_before;
  incomplete_before.assign(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const bool complete = encode_planes<A>(row_codes(k), planes + k * shape.row_words());
    incomplete_before[k + 1] = incomplete_before[k] + (complete ? 0 : 1);
    poller.spend(shape.row_words());
  }
  const bool transitions = store.model == SubstitutionModel::Kimura2P;
  const Job<A> job{planes,
                   shape,
                   plan_tiles(shape),
                   count_function<A>(level, transitions),
                   std::is_same_v<A, DNA> ? grouped_kernel(level, transitions) : GroupedKernel{},
                   incomplete_before.data(),
                   store};
  fill_matrix(job, buffers, matrix, totaller, poller);
}

// Builds the matrix of `msa`'s identifiers from the rows that `row_codes(k)`
// returns, each `length` codes long: from their differences to a reference
// row when most rows are close to it, else on bit planes. The rows' totals
// go to `totals` where asked.
template <Alphabet A, class RowCodes>
DistMat build(WorkspaceBuffers& buffers, SimdLevel level, CountingPath path, const MSA<A>& msa,
              std::uint64_t length, RowCodes row_codes, SubstitutionModel model,
              const StopCheck& should_stop, RowTotals* totals) {
  require_model_suits<A>(model);
  check_rows(msa);
  StopPoller poller(should_stop);
  const std::size_t n = msa.identifiers.size();
  const RowSource source = [&row_codes](std::size_t k) { return row_codes(k); };
  const std::optional<ReferenceRows<A>> rows = reference_rows<A>(source, n, length, path, poller);
  DistMat matrix;
  matrix.names = msa.identifiers;
  const bool tabled = buffers.table.prepare(model, length, pair_count(n));
  const CountsToDistances<A> store{length, model, tabled ? &buffers.table : nullptr};
  RowTotaller totaller(totals != nullptr ? n : 0);
  if (rows) {
    matrix.distances = allocate_values(pair_count(n), should_stop);
    fill_from_reference(*rows, model == SubstitutionModel::Kimura2P, level, store, matrix,
                        totaller, poller);
  } else {
    matrix.distances.reserve(pair_count(n));
    fill_from_planes(buffers, level, length, row_codes, store, matrix, totaller, poller);
  }
  if (totals != nullptr) *totals = std::move(totaller).finish(matrix.distances.data());
  return matrix;
}

}  // namespace

}  // namespace detail

DistanceWorkspace::DistanceWorkspace() noexcept
    : level_(detail::best_simd_level()), path_(detail::CountingPath::automatic) {}

DistanceWorkspace::DistanceWorkspace(detail::SimdLevel level)
    : level_(level), path_(detail::CountingPath::automatic) {
  if (!detail::simd_level_supported(level)) {
    internal_failure(fill("this processor cannot count at the {} level",
                          detail::simd_level_name(level)));
  }
}

DistanceWorkspace::DistanceWorkspace(DistanceWorkspace&&) noexcept = default;
DistanceWorkspace& DistanceWorkspace::operator=(DistanceWorkspace&&) noexcept = default;
DistanceWorkspace::~DistanceWorkspace() = default;

template <Alphabet A>
DistMat DistanceWorkspace::from_msa(const MSA<A>& msa, SubstitutionModel model,
                                    const StopCheck& should_stop, RowTotals* totals) {
  if (!buffers_) buffers_ = std::make_unique<detail::WorkspaceBuffers>();
  const auto row_codes = [&msa](std::size_t k) { return msa.row(k); };
  return detail::build(*buffers_, level_, path_, msa, msa.length, row_codes, model, should_stop,
                       totals);
}

template <Alphabet A>
DistMat DistanceWorkspace::from_resampled(const MSA<A>& msa, std::span<const std::uint64_t> columns,
                                          SubstitutionModel model, const StopCheck& should_stop,
                                          RowTotals* totals) {
  if (!buffers_) buffers_ = std::make_unique<detail::WorkspaceBuffers>();
  for (const std::uint64_t column : columns) {
    if (column >= msa.length) {
      internal_failure(fill("resampled column {} is outside an alignment of {} columns", column,
                            msa.length));
    }
  }
  // A pair's counts are sums over the columns, so the order of the draw
  // does not matter. Sorted, the copies of a column lie side by side and
  // runs of the alignment (of N, of gaps) stay runs, so that near-identical
  // rows stay near-identical word by word; and each row is read in order.
  std::vector<std::uint64_t>& sorted = buffers_->sorted_columns;
  sorted.assign(columns.begin(), columns.end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint8_t>& gathered = buffers_->gathered;
  gathered.resize(sorted.size());
  const auto row_codes = [&](std::size_t k) {
    const std::uint8_t* row = msa.sequences[k].data();
    for (std::size_t c = 0; c < sorted.size(); ++c) gathered[c] = row[sorted[c]];
    return std::span<const std::uint8_t>(gathered);
  };
  return detail::build(*buffers_, level_, path_, msa, columns.size(), row_codes, model,
                       should_stop, totals);
}

template DistMat DistanceWorkspace::from_msa(const MSA<DNA>&, SubstitutionModel, const StopCheck&,
                                             RowTotals*);
template DistMat DistanceWorkspace::from_msa(const MSA<Protein>&, SubstitutionModel,
                                             const StopCheck&, RowTotals*);
template DistMat DistanceWorkspace::from_resampled(const MSA<DNA>&, std::span<const std::uint64_t>,
                                                   SubstitutionModel, const StopCheck&, RowTotals*);
template DistMat DistanceWorkspace::from_resampled(const MSA<Protein>&,
                                                   std::span<const std::uint64_t>,
                                                   SubstitutionModel, const StopCheck&, RowTotals*);

}  // namespace nj
