// SPDX-License-Identifier: MIT
// Seeded bootstrap replicates on worker threads, counted against the main tree.
#include <atomic>
#include <mutex>

#include "distance/filler.hpp"
#include "distance/tiles.hpp"
#include "engine/neighbor_joining.hpp"
#include "kit/plane_rows.hpp"
#include "kit/row_encoding.hpp"
#include "kit/tree_parts.hpp"
#include "kit/workers.hpp"
#include "message_text.hpp"
#include "msa.hpp"
#include "nj/error.hpp"

namespace nj::kit {

std::uint64_t replicate_seed(std::uint64_t seed, std::uint64_t replicate) noexcept {
  std::uint64_t z = seed + (replicate + 1) * 0x9E3779B97F4A7C15;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

namespace {

// The first replicate, by number, that met a pair without a compared column.
struct UndefinedReplicate {
  std::uint64_t replicate;
  detail::RowPair pair;
};

// One thread's replicates: the resampled rows, the filler and the counter
// are kept from one replicate to the next.
class ReplicateWorker {
 public:
  ReplicateWorker(const Alignment& alignment, const MainTree& tree, const SupportRequest& request)
      : alignment_(alignment),
        request_(request),
        encoding_(alignment.residues() == Residues::dna ? Encoding::dna : Encoding::protein),
        filler_(detail::make_filler(alignment.residues(), alignment.missing(), request.model,
                                    alignment.length(), pairs())),
        counter_(tree.parts(), request.kind),
        codes_(alignment.length()),
        drawn_(alignment.length()) {
    resampled_.resize(alignment.planes().size());
    counts.assign(tree.size() - 1, 0);
  }

  /// Runs replicate k and counts its tree; a pair without a compared column
  /// ends it early when that is an error.
  std::optional<detail::RowPair> run(std::uint64_t k, const StopCheck& should_stop) {
    StopPoller poller(should_stop);
    resample(replicate_seed(request_.seed, k), poller);
    const std::size_t n = alignment_.size();
    const detail::PlaneRows rows{resampled_.data(), alignment_.row_words(), n, alignment_.length()};
    DistMat matrix{nj::detail::allocate_values(pairs(), should_stop), std::vector<std::string>(n)};
    filler_->fill_rows(rows, 0, n, matrix.distances.data(), poller);
    auto undefined = filler_->take_undefined();
    if (undefined && request_.undefined == Undefined::error) return undefined;
    auto tree = neighbor_joining(std::move(matrix), should_stop);
    if (!tree) internal_failure("a replicate's tree failed: " + quote_escaped(tree.error()));
    counter_.count(**tree, counts);
    return std::nullopt;
  }

  /// Per inner node of the main tree, the replicates so far that hold it.
  std::vector<std::uint64_t> counts;

 private:
  std::size_t pairs() const noexcept { return pair_count(alignment_.size()); }

  // The replicate's columns are drawn with the core's generator and uniform
  // draw, and gathered row by row through the rows' codes.
  void resample(std::uint64_t seed, StopPoller& poller) {
    const std::uint64_t length = alignment_.length();
    auto columns = bootstrap_columns(length, [seed] { return seed; });
    if (!columns) internal_failure(columns.error());
    const std::size_t words = alignment_.row_words();
    for (std::size_t r = 0; r < alignment_.size(); ++r) {
      decode_row(encoding_, alignment_.planes().data() + r * words, length, codes_.data());
      for (std::size_t c = 0; c < length; ++c) drawn_[c] = codes_[(*columns)[c]];
      encode_row(encoding_, drawn_, resampled_.data() + r * words);
      poller.spend(2 * length);
    }
  }

  const Alignment& alignment_;
  const SupportRequest& request_;
  Encoding encoding_;
  std::unique_ptr<detail::DistanceFiller> filler_;
  SupportCounter counter_;
  std::vector<std::uint8_t> codes_;
  std::vector<std::uint8_t> drawn_;
  PlaneBuffer resampled_;
};

std::optional<std::string> request_refusal(const Alignment& alignment, const MainTree& tree,
                                           const SupportRequest& request) {
  if (tree.size() != alignment.size()) {
    return fill("the tree has {} leaves but the alignment {} sequences", tree.size(),
                alignment.size());
  }
  if (request.count > ~std::uint64_t{0} - request.first) {
    return std::string("the replicate numbers run past 2^64 - 1");
  }
  return detail::model_refusal(alignment.residues(), request.model);
}

}  // namespace

std::expected<std::vector<std::uint64_t>, std::string> count_support(const Alignment& alignment,
                                                                     const MainTree& tree,
                                                                     const SupportRequest& request,
                                                                     const Monitor& monitor) {
  if (auto refusal = request_refusal(alignment, tree, request)) {
    return std::unexpected(std::move(*refusal));
  }
  std::vector<std::uint64_t> counts(alignment.size() - 1, 0);
  if (request.count == 0) return counts;
  const auto threads = static_cast<unsigned>(std::clamp<std::uint64_t>(request.threads, 1, request.count));
  std::atomic<std::uint64_t> taken{0};
  std::atomic<std::uint64_t> done{0};
  std::mutex mutex;
  std::optional<UndefinedReplicate> undefined;
  std::vector<std::vector<std::uint64_t>> worker_counts(threads);
  detail::run_on_workers(
      threads,
      [&](unsigned worker, const StopCheck& should_stop) {
        ReplicateWorker replicates(alignment, tree, request);
        // Replicates are taken in order, so none after a failed one needs
        // to run, and every one before it does.
        for (std::uint64_t j = taken.fetch_add(1); j < request.count; j = taken.fetch_add(1)) {
          const std::uint64_t k = request.first + j;
          {
            const std::lock_guard lock(mutex);
            if (undefined && undefined->replicate < k) break;
          }
          if (auto pair = replicates.run(k, should_stop)) {
            const std::lock_guard lock(mutex);
            if (!undefined || k < undefined->replicate) undefined = UndefinedReplicate{k, *pair};
          }
          done.fetch_add(1, std::memory_order_relaxed);
        }
        worker_counts[worker] = std::move(replicates.counts);
      },
      &done, monitor);
  if (undefined) {
    return std::unexpected(fill("bootstrap replicate {}: {}", undefined->replicate,
                                detail::undefined_message(alignment.identifiers(), undefined->pair)));
  }
  for (const auto& partial : worker_counts) {
    for (std::size_t slot = 0; slot < partial.size(); ++slot) counts[slot] += partial[slot];
  }
  finish_counts(tree.parts(), request.kind, counts);
  return counts;
}

}  // namespace nj::kit
