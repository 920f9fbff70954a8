// SPDX-License-Identifier: MIT
#include "distance/filler.hpp"

#include <algorithm>
#include <span>

#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"
#include "distance/matrix.hpp"
#include "distance/skip_kernels.hpp"
#include "distance/skip_table.hpp"
#include "distance/table.hpp"
#include "distance/tiles.hpp"
#include "message_text.hpp"
#include "models.hpp"
#include "nj/error.hpp"

namespace nj::kit::detail {

namespace {

using nj::detail::PairCounts;
using nj::detail::PlaneShape;
using nj::detail::RowRun;
using nj::detail::SkipCounts;
using nj::detail::Tile;

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
        shape_(length),
        plan_(nj::detail::plan_tiles(shape_)) {}

  void fill_rows(const PlaneRows& rows, std::size_t i_first, std::size_t i_end, double* matrix,
                 StopPoller& poller) override {
    for (std::size_t j0 = 0; j0 + 1 < i_end; j0 += plan_.run_rows) {
      const Tile tile{std::max(i_first, j0 + 1), i_end, j0, std::min(j0 + plan_.run_rows, i_end - 1)};
      if (tile.i_first >= tile.i_end) continue;
      // No zeroing: the first range of blocks writes every count.
      counts_.resize((tile.i_end - tile.i_first) * tile.width());
      fill_tile(rows, tile, matrix, poller);
    }
  }

  std::optional<RowPair> take_undefined() noexcept override { return counting_.take_undefined(); }

 private:
  using Counts = typename Counting::Counts;

  // Counts the tile range of blocks by range, and turns each row's counts
  // into distances right after its last range, while they are still in the
  // first-level cache.
  void fill_tile(const PlaneRows& rows, const Tile& tile, double* matrix, StopPoller& poller) {
    const std::size_t stride = rows.row_words;
    const std::uint64_t pairs = tile.pairs();
    // The first range writes the counts, so even rows of no blocks get one.
    for (std::size_t b = 0; b == 0 || b < shape_.blocks; b += plan_.chunk_blocks) {
      const std::size_t offset = b * PlaneShape<A>::block_size();
      const std::size_t blocks = std::min(plan_.chunk_blocks, shape_.blocks - b);
      const bool last = b + blocks >= shape_.blocks;
      for (std::size_t i = tile.i_first; i < tile.i_end; ++i) {
        Counts* const row_counts = counts_.data() + (i - tile.i_first) * tile.width();
        const RowRun run{rows.words + i * stride + offset, rows.words + tile.j_first * stride + offset,
                         stride, tile.run_length(i), blocks, b == 0};
        count_(run, row_counts);
        // The pairs (i, j) of a run lie side by side in the matrix.
        if (last) {
          counting_.store({row_counts, run.count}, matrix + pair_index(tile.j_first, i), i,
                          tile.j_first);
        }
      }
      poller.spend(pairs * (blocks + 1) * nj::detail::block_words);
    }
  }

  void (*count_)(const RowRun&, Counts*) noexcept;
  Counting counting_;
  PlaneShape<A> shape_;
  nj::detail::TilePlan plan_;
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
