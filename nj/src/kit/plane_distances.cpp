// SPDX-License-Identifier: MIT
#include "plane_distances.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <span>

#include "../bit_planes.hpp"
#include "../distance_kernels.hpp"
#include "../distance_table.hpp"
#include "nj/distance_matrix.hpp"
#include "nj/error.hpp"
#include "skip_kernels.hpp"
#include "skip_table.hpp"

namespace nj::kit::detail {

namespace {

using nj::detail::PairCounts;
using nj::detail::PlaneShape;
using nj::detail::RowRun;
using nj::detail::SkipCounts;

// The run rows of a chunk stay in the first-level cache while every row i
// of a tile passes over them.
constexpr std::size_t chunk_bytes = 2048;
constexpr std::size_t run_budget_bytes = 32 * 1024;

struct Plan {
  std::size_t blocks;        // blocks of a row
  std::size_t chunk_blocks;  // blocks counted for a whole tile before the next
  std::size_t run_rows;      // rows j compared with each row i of a tile
};

template <Alphabet A>
Plan plan_for(std::uint64_t length) noexcept {
  const PlaneShape<A> shape(length);
  constexpr std::size_t block_bytes = PlaneShape<A>::block_size() * sizeof(std::uint64_t);
  const std::size_t chunk = std::max<std::size_t>(1, std::min(chunk_bytes / block_bytes, shape.blocks));
  const std::size_t rows = std::clamp<std::size_t>(run_budget_bytes / (chunk * block_bytes), 8, 128);
  // Whole row groups: the widest kernels count a short last group in full.
  return {shape.blocks, chunk, rows - rows % nj::detail::row_group};
}

// Pairs (i, j): i in [i_first, i_end), j in [j_first, min(j_end, i)).
struct PairBlock {
  std::size_t i_first;
  std::size_t i_end;
  std::size_t j_first;
  std::size_t j_end;

  std::size_t width() const noexcept { return j_end - j_first; }
  std::size_t run_of(std::size_t i) const noexcept { return std::min(j_end, i) - j_first; }
};

// The kernel for each kind of counts.
template <Alphabet A>
nj::detail::CountFn kernel_for(const PairCounts*, bool transitions) noexcept {
  return nj::detail::count_function<A>(nj::detail::best_simd_level(), transitions);
}

template <Alphabet A>
nj::detail::SkipCountFn kernel_for(const SkipCounts*, bool transitions) noexcept {
  return nj::detail::skip_count_function<A>(nj::detail::best_simd_level(), transitions);
}

// How each rule turns counts into distances, through a table by counts.
template <Alphabet A>
class LiteralCounting {
 public:
  using Counts = PairCounts;

  LiteralCounting(SubstitutionModel model, std::uint64_t length, std::size_t pairs)
      : model_(model), length_(length), tabled_(table_.prepare(model, length, pairs)) {}

  void store(std::span<const PairCounts> counts, double* out, std::size_t, std::size_t) {
    if (tabled_) {
      table_.look_up(counts, out);
      return;
    }
    for (std::size_t k = 0; k < counts.size(); ++k) {
      const PairCounts& c = counts[k];
      out[k] = distance_from_counts(
          model_, SiteCounts{c.differences, c.transitions, c.differences - c.transitions, length_});
    }
  }

  std::optional<RowPair> take_undefined() noexcept { return std::nullopt; }

 private:
  SubstitutionModel model_;
  std::uint64_t length_;
  nj::detail::DistanceTable table_;
  bool tabled_;
};

template <Alphabet A>
class SkipCounting {
 public:
  using Counts = SkipCounts;

  SkipCounting(SubstitutionModel model, std::uint64_t length, std::size_t pairs)
      : table_(model, length, pairs) {}

  void store(std::span<const SkipCounts> counts, double* out, std::size_t i, std::size_t j_first) {
    for (std::size_t k = 0; k < counts.size(); ++k) {
      if (counts[k].compared == 0) [[unlikely]] undefined_ = earlier(undefined_, RowPair{i, j_first + k});
      out[k] = table_.distance(counts[k]);
    }
  }

  std::optional<RowPair> take_undefined() noexcept { return std::exchange(undefined_, std::nullopt); }

 private:
  SkipTable table_;
  std::optional<RowPair> undefined_;
};

template <Alphabet A, class Counting>
class Filler final : public DistanceFiller {
 public:
  Filler(SubstitutionModel model, std::uint64_t length, std::size_t pairs)
      : count_(kernel_for<A>(static_cast<const Counts*>(nullptr), model == SubstitutionModel::Kimura2P)),
        counting_(model, length, pairs),
        plan_(plan_for<A>(length)) {}

  void fill_rows(const PlaneRows& rows, std::size_t i_first, std::size_t i_end, double* matrix,
                 StopPoller& poller) override {
    for (std::size_t j0 = 0; j0 + 1 < i_end; j0 += plan_.run_rows) {
      const PairBlock block{std::max(i_first, j0 + 1), i_end, j0,
                            std::min(j0 + plan_.run_rows, i_end - 1)};
      if (block.i_first >= block.i_end) continue;
      // No zeroing: the first range of blocks writes every count.
      counts_.resize((block.i_end - block.i_first) * block.width());
      count_block(rows, block, poller);
      store_block(block, matrix);
    }
  }

  std::optional<RowPair> take_undefined() noexcept override { return counting_.take_undefined(); }

 private:
  using Counts = typename Counting::Counts;

  void count_block(const PlaneRows& rows, const PairBlock& block, StopPoller& poller) {
    const std::size_t stride = rows.row_words;
    const std::uint64_t pairs = (block.i_end - block.i_first) * block.width();
    // The first range writes the counts, so even rows of no blocks get one.
    for (std::size_t b = 0; b == 0 || b < plan_.blocks; b += plan_.chunk_blocks) {
      const std::size_t offset = b * PlaneShape<A>::block_size();
      const std::size_t blocks = std::min(plan_.chunk_blocks, plan_.blocks - b);
      for (std::size_t i = block.i_first; i < block.i_end; ++i) {
        const RowRun run{rows.words + i * stride + offset,
                         rows.words + block.j_first * stride + offset, stride, block.run_of(i),
                         blocks, b == 0};
        count_(run, counts_.data() + (i - block.i_first) * block.width());
      }
      poller.spend(pairs * (blocks + 1) * nj::detail::block_words);
    }
  }

  void store_block(const PairBlock& block, double* matrix) {
    for (std::size_t i = block.i_first; i < block.i_end; ++i) {
      const std::span<const Counts> row(counts_.data() + (i - block.i_first) * block.width(),
                                        block.run_of(i));
      // The pairs (i, j) of a run lie side by side in the matrix.
      counting_.store(row, matrix + pair_index(block.j_first, i), i, block.j_first);
    }
  }

  void (*count_)(const RowRun&, Counts*) noexcept;
  Counting counting_;
  Plan plan_;
  std::vector<Counts> counts_;
};

template <Alphabet A>
std::unique_ptr<DistanceFiller> filler_for(MissingRule rule, SubstitutionModel model,
                                           std::uint64_t length, std::size_t pairs) {
  if (rule == MissingRule::skip) {
    return std::make_unique<Filler<A, SkipCounting<A>>>(model, length, pairs);
  }
  return std::make_unique<Filler<A, LiteralCounting<A>>>(model, length, pairs);
}

// The join steps read the matrix by columns, one row (and so one page) per
// distance: on huge pages far fewer of those reads miss the TLB. A refusal
// changes nothing but the speed.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

std::unique_ptr<DistanceFiller> make_filler(Residues residues, MissingRule rule,
                                            SubstitutionModel model, std::uint64_t length,
                                            std::size_t pairs) {
  if (residues == Residues::dna) return filler_for<DNA>(rule, model, length, pairs);
  return filler_for<Protein>(rule, model, length, pairs);
}

std::optional<RowPair> earlier(std::optional<RowPair> a, std::optional<RowPair> b) noexcept {
  if (!a) return b;
  if (!b) return a;
  return *b < *a ? b : a;
}

std::vector<double> allocate_values(std::size_t count, const StopCheck& should_stop) {
  constexpr std::size_t step = std::size_t{1} << 22;
  std::vector<double> values;
  values.reserve(count);
  advise_huge_pages(values.data(), count * sizeof(double));
  while (values.size() < count) {
    values.resize(std::min(count, values.size() + step));
    if (should_stop && should_stop()) throw Cancelled();
  }
  return values;
}

std::optional<std::string> model_refusal(Residues residues, SubstitutionModel model) {
  if (residues == Residues::dna) {
    if (model_suits<DNA>(model)) return std::nullopt;
    return "Poisson is a protein model; cannot use with DNA";
  }
  if (model_suits<Protein>(model)) return std::nullopt;
  return "Selected model is for DNA; cannot use with Protein";
}

std::string undefined_message(const std::vector<std::string>& names, const RowPair& pair) {
  return fill("sequences {} and {} share no column where both hold a residue: their distance is "
              "undefined",
              quote_text(names[pair.second]), quote_text(names[pair.first]));
}

}  // namespace nj::kit::detail
