// SPDX-License-Identifier: MIT
// The fast engine: the plain engine's choices, found without visiting every
// pair. Each live pair is kept once, as an entry in the row of the younger of
// its two subtrees (engine/row_store.hpp). A row is cut into segments by the
// row-sum bin of the other subtree, and each segment is sorted by distance,
// so a lower bound of Q per segment (engine/bounds.hpp) lets the search stop
// early in it and pass over most entries without reading the matrix. The
// joins themselves are the plain engine's, operation for operation.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "engine/bounds.hpp"
#include "engine/join_step.hpp"
#include "engine/keys.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/offsets.hpp"
#include "engine/row_store.hpp"
#include "engine/scan.hpp"
#include "engine/state.hpp"

namespace nj {

namespace fast {

namespace {

class FastEngine {
 public:
  FastEngine(NJState& state, StopPoller& poller)
      : state_(state),
        poller_(poller),
        n_(state.active.size()),
        subtrees_(n_),
        offsets_{std::vector<double>(n_, 0.0)},
        shifted_(n_),
        shifted_live_(n_),
        store_(n_, subtrees_, shifted_, offsets_.of, state.matrix, poller),
        to_walk_(new RowToWalk[n_]),
        new_partners_(n_),
        new_values_(n_) {
    newest_ = n_;
    lowest_slot_ = n_;
    shift_sums(static_cast<double>(n_) - 2.0);
    subtrees_.assign_bins(shifted_);
    build_leaf_rows();
  }

  /// Joins until two slots remain; false when a value turned out not finite
  /// and the plain engine must take over from the current state.
  bool join_all() {
    for (std::uint64_t live = state_.active.count(); live > 2; --live) {
      const auto m = static_cast<double>(live);
      if (!measure_bins(m - 2.0)) return false;
      if (bins_worn()) {
        store_.compact(true);
        measure_bins(m - 2.0);
      }
      Choice best;
      search(m, best);
      if (!best.found()) return false;
      if (!join(best.i, best.j, m, live > 3)) return false;
      // A step costs some tens of nanoseconds per live slot, ten or more of
      // the poller's units.
      poller_.spend(16 * live + visited_);
      wear_bins(visited_);
      visited_ = 0;
    }
    return true;
  }

 private:
  // How the bins made last have worn: the entries walked in the first
  // steps after they were made, and beyond twice that since.
  struct Wear {
    std::uint64_t binnings = 0;
    std::uint64_t steps = 0;
    std::uint64_t first_walked = 0;
    double excess = 0.0;
  };

  /// Makes the rows of the leaves, unwritten. Where offsets may help, each
  /// leaf's smallest distance is taken first, in a pass of its own, so
  /// that the rows are written once, by the offsets chosen from them.
  void build_leaf_rows() {
    if (!offsets_may_help(state_.row_sums)) {
      write_leaf_rows();
      return;
    }
    std::vector<double> lowest(n_, infinity);
    double largest = 0.0;
    const double* d = state_.matrix.distances.data();
    for (std::size_t x = 1; x < n_; ++x) {
      double least = 0.0;
      double most = 0.0;
      value_range(d + pair_index(0, x), x, &least, &most, lowest.data());
      take_lowest(lowest.data(), x, least, most, largest);
      poller_.spend(x);
    }
    offsets_ = choose_offsets(std::move(lowest), largest, state_.row_sums);
    if (offsets_.on) {
      shift_sums(static_cast<double>(n_) - 2.0);
      subtrees_.assign_bins(shifted_);
    }
    write_leaf_rows();
  }

  /// Writes the row of each leaf x > 0 (its distances to the leaves before
  /// it, less their offsets), unwritten; without offsets two at a time,
  /// straight from the matrix.
  void write_leaf_rows() {
    const double* d = state_.matrix.distances.data();
    const std::vector<double>& least = state_.leaf_least;
    const std::vector<double>& most = state_.leaf_most;
    std::size_t x = 1;
    for (; !offsets_.on && x + 1 < n_; x += 2) {
      store_.add_unwritten_leaves(x, d + pair_index(0, x), d + pair_index(0, x + 1),
                                  KeyScale(least[x], most[x]),
                                  KeyScale(least[x + 1], most[x + 1]));
      poller_.spend(8 * x);
    }
    for (std::size_t y = 0; y < n_; ++y) new_partners_[y] = static_cast<Partner>(y);
    for (; x < n_; ++x) {
      std::span<const double> row(d + pair_index(0, x), x);
      double row_least = least[x];
      double row_most = most[x];
      if (offsets_.on) {
        row = less_offsets(row);
        value_range(row.data(), row.size(), &row_least, &row_most);
      }
      store_.add_unwritten_row(x, row, new_partners_, KeyScale(row_least, row_most));
      poller_.spend(4 * x);
    }
  }

  /// Takes the smallest distance of leaf x, whose row's values lie in
  /// [least, most] (the row has lowered its partners' smallest distances as
  /// its range was taken), and the largest absolute distance so far.
  static void take_lowest(double* lowest, std::size_t x, double least, double most,
                          double& largest) noexcept {
    lowest[x] = least < lowest[x] ? least : lowest[x];
    const double magnitude = std::max(std::fabs(least), std::fabs(most));
    largest = magnitude > largest ? magnitude : largest;
  }

  /// Each live subtree's row sum less c times its offset, the largest of
  /// those in each bin, and the margin of the bounds; false when a value is
  /// not finite. A bin without live members gets the lowest finite value,
  /// not -infinity: its segments hold only stale entries, and a bound such
  /// as (-inf) - (-inf) would be NaN.
  bool measure_bins(double c) {
    bin_max_.fill(std::numeric_limits<double>::lowest());
    return offsets_.on ? measure_bins<true>(c) : measure_bins<false>(c);
  }

  // The largest magnitudes matter only to the margin, which is 0 without
  // offsets. A bin's largest value rarely changes after the first members,
  // so it is stored only when it does.
  template <bool with_offsets>
  bool measure_bins(double c) {
    const double* r = state_.row_sums.data();
    const double* offset = offsets_.of.data();
    const std::uint8_t* bin_of = subtrees_.bin_of.data();
    bool finite = true;
    double largest_sum = 0.0;
    double largest_shifted = 0.0;
    const std::vector<Partner>& live = subtrees_.live;
    for (std::size_t t = 0; t < live.size(); ++t) {
      const Partner s = live[t];
      const double sum = r[s];
      const double value = with_offsets ? sum - c * offset[s] : sum;
      shifted_[s] = value;
      shifted_live_[t] = value;
      finite &= std::isfinite(sum) & std::isfinite(value);
      double& top = bin_max_[bin_of[s]];
      if (value > top) top = value;
      if constexpr (with_offsets) {
        largest_sum = std::max(largest_sum, std::fabs(sum));
        largest_shifted = std::max(largest_shifted, std::fabs(value));
      }
    }
    margin_ = rounding_margin(offsets_, c, largest_sum, largest_shifted);
    return finite;
  }

  /// shifted_ = r - c a over the live subtrees (exactly r without offsets).
  void shift_sums(double c) noexcept {
    const std::vector<double>& r = state_.row_sums;
    for (const Partner s : subtrees_.live) shifted_[s] = r[s] - c * offsets_.of[s];
  }

  /// The distances of a leaf row less their partners' offsets.
  std::span<const double> less_offsets(std::span<const double> row) {
    for (std::size_t y = 0; y < row.size(); ++y) new_values_[y] = row[y] - offsets_.of[y];
    return std::span<const double>(new_values_.data(), row.size());
  }

  /// Whether the bins should be made again: when half the subtrees they
  /// were made for are gone, or when the searches since they were made
  /// have walked more entries beyond twice what they walked at first than
  /// writing every row again costs. A subtree's bin is fixed at birth while
  /// its rank drifts, so bins wear out, quickly where a few row sums grow
  /// apart from the rest (near-identical genomes) and hardly at all where
  /// row sums keep their order.
  bool bins_worn() noexcept {
    const std::size_t live = subtrees_.live.size();
    if (live * 2 < subtrees_.last_binned) return true;
    const auto rewrite = static_cast<double>(live) * static_cast<double>(live);
    return current_wear().excess > rewrite;
  }

  /// Counts the entries the last search walked towards the bins' wear.
  void wear_bins(std::uint64_t walked) noexcept {
    Wear& wear = current_wear();
    constexpr std::uint64_t first_steps = 8;
    if (wear.steps < first_steps) {
      wear.first_walked += walked;
    } else {
      const double usual = 2.0 * static_cast<double>(wear.first_walked) / first_steps;
      wear.excess += std::max(0.0, static_cast<double>(walked) - usual);
    }
    ++wear.steps;
  }

  /// The wear of the bins as they are now: none yet when they were just made.
  Wear& current_wear() noexcept {
    if (wear_.binnings != subtrees_.binnings) wear_ = Wear{subtrees_.binnings};
    return wear_;
  }

  double exact_q(std::size_t hi, std::size_t lo, double c) const noexcept {
    const double d = state_.matrix.distances[pair_index(lo, hi)];
    const std::vector<double>& r = state_.row_sums;
    return ((c * d) - r[hi]) - r[lo];
  }

  void search(double m, Choice& best) {
    const double c = m - 2.0;
    offer_kept(c, best);
    offer_newest(c, best);
    // The row of smallest bound changes little from one step to the next:
    // with its pair offered too, the choice is usually final before the
    // rows are looked at.
    if (lowest_slot_ < n_ && subtrees_.birth[lowest_slot_] != never_born) {
      offer_lowest_front(lowest_slot_, c, best);
    }
    const std::vector<Partner>& live = subtrees_.live;
    const Selection selection =
        select_segments(store_.fronts(), live.data(), live.size(), state_.row_sums.data(),
                        bin_max_.data(), c, best.q + margin_, best.i, to_walk_.get());
    if (selection.rows == 0) return;
    lowest_slot_ = selection.lowest_slot;
    offer_lowest_front(lowest_slot_, c, best);
    // The segments lie scattered in the store: fetch well ahead of use.
    // A row's own fields are fetched first, then the segments they locate.
    constexpr std::size_t ahead = 24;
    const std::size_t rows = selection.rows;
    for (std::size_t k = 0; k < std::min(2 * ahead, rows); ++k) store_.fetch_row(to_walk_[k].slot);
    for (std::size_t k = 0; k < std::min(ahead, rows); ++k) fetch_segments(k);
    for (std::size_t k = 0; k < rows; ++k) {
      if (k + 2 * ahead < rows) store_.fetch_row(to_walk_[k + 2 * ahead].slot);
      if (k + ahead < rows) fetch_segments(k + ahead);
      walk_row(to_walk_[k].slot, to_walk_[k].segments, c, best);
    }
  }

  /// Walks the segments of row x whose bounds may still come first; when
  /// entries the row left out may, has the row written again keeping more
  /// of them and walks it again (at last the row keeps them all).
  void walk_row(std::size_t x, std::uint32_t segments, double c, Choice& best) {
    const double r_x = state_.row_sums[x];
    for (;;) {
      bool deeper = false;
      for (; segments != 0; segments &= segments - 1) {
        const auto b = static_cast<std::size_t>(std::countr_zero(segments));
        const double bound = segment_bound(c * store_.front(x, b), r_x, bin_max_[b]);
        if (best.may_precede(bound - margin_, x) && !passed_over_at_front(x, b, c, best)) {
          deeper = walk(x, b, c, best) || deeper;
        }
      }
      if (!deeper) return;
      store_.deepen_row(x);
      segments = (std::uint32_t{1} << bins) - 1;
    }
  }

  /// Whether segment b of row x can be passed over on what lies beside its
  /// front: the first kept entry's pair by its own bound, as walk bounds it
  /// (the front is a lower bound of its distance), and every other pair of
  /// the segment, the entries left out included, by the bound after the
  /// first entry. Most segments that the front's bound lets through end
  /// there, and the store's entries lie scattered in memory.
  bool passed_over_at_front(std::size_t x, std::size_t b, double c, const Choice& best) {
    const double r_x = state_.row_sums[x];
    const double rest = segment_bound(c * store_.after_first(x, b), r_x, bin_max_[b]);
    if (best.may_precede(rest - margin_, x)) return false;
    ++visited_;
    const std::size_t y = store_.first_partner(x, b);
    const std::vector<Birth>& birth = subtrees_.birth;
    if (y == no_partner || birth[y] > birth[x]) return true;
    const double bound = pair_bound(x, y, c * store_.front(x, b), r_x);
    return !best.precedes(bound - margin_, std::max(x, y), std::min(x, y));
  }

  /// Bound (1) of the pair of row x with partner y at t = c v, v at most
  /// their distance, in the order of operations that fits the higher slot.
  double pair_bound(std::size_t x, std::size_t y, double t, double r_x) const noexcept {
    return x > y ? (t - r_x) - shifted_[y] : (t - shifted_[y]) - r_x;
  }

  void fetch_segments(std::size_t k) const noexcept {
    const std::size_t x = to_walk_[k].slot;
    for (std::uint32_t segments = to_walk_[k].segments; segments != 0; segments &= segments - 1) {
      const auto b = static_cast<std::size_t>(std::countr_zero(segments));
      __builtin_prefetch(store_.entries() + store_.segment_first(x, b));
    }
  }

  /// Offers the first live entry of the segment of row x with the smallest
  /// bound: an exactly evaluated pair whose Q lets the search pass over
  /// most segments at once.
  void offer_lowest_front(std::size_t x, double c, Choice& best) {
    const double r_x = state_.row_sums[x];
    std::size_t chosen = 0;
    double chosen_bound = infinity;
    for (std::size_t b = 0; b < bins; ++b) {
      const double bound = segment_bound(c * store_.front(x, b), r_x, bin_max_[b]);
      if (bound < chosen_bound) {
        chosen = b;
        chosen_bound = bound;
      }
    }
    if (chosen_bound == infinity) return;
    const std::size_t p = store_.drop_stale_front(x, chosen);
    if (p == store_.segment_last(x, chosen)) return;
    const std::size_t y = store_.entries()[p].partner;
    best.offer(std::max(x, y), std::min(x, y), exact_q(std::max(x, y), std::min(x, y), c));
  }

  /// Walks the kept entries of segment b of row x while they may come
  /// first; returns whether the entries it left out may.
  bool walk(std::size_t x, std::size_t b, double c, Choice& best) {
    const Row& row = store_.row(x);
    const Entry* entries = store_.entries();
    const std::vector<Birth>& birth = subtrees_.birth;
    const Birth own = birth[x];
    const double r_x = state_.row_sums[x];
    const double r_bin = bin_max_[b];
    const double lowest = store_.lowest(x, b);
    const std::size_t first = store_.drop_stale_front(x, b);
    const std::size_t end = store_.segment_last(x, b);
    std::size_t p = first;
    for (; p < end; ++p) {
      const Key key = entries[p].key;
      const double floor = c * store_.floor_at(x, b, key);
      if (!best.may_precede(segment_bound(floor, r_x, r_bin) - margin_, x)) break;
      const std::size_t y = entries[p].partner;
      if (birth[y] > own) continue;
      const std::size_t hi = std::max(x, y);
      const std::size_t lo = std::min(x, y);
      const double decoded = row.scale.decode(key);
      const double t = c * (lowest > decoded ? lowest : decoded);
      if (!best.precedes(pair_bound(x, y, t, r_x) - margin_, hi, lo)) continue;
      const double q = exact_q(hi, lo, c);
      best.offer(hi, lo, q);
      keep(hi, lo, q);
    }
    visited_ += p - first + 1;
    const double left_out = store_.left_out(x, b);
    return left_out != infinity &&
           best.may_precede(segment_bound(c * left_out, r_x, r_bin) - margin_, x);
  }

  /// Remembers the pairs of smallest Q met in this search: after a join,
  /// those not involving the joined slots are good first candidates again.
  void keep(std::size_t hi, std::size_t lo, double q) noexcept {
    const std::vector<Birth>& birth = subtrees_.birth;
    Kept candidate{static_cast<Partner>(hi), static_cast<Partner>(lo), birth[hi], birth[lo], q};
    for (Kept& slot : kept_) {
      if (slot.hi == candidate.hi && slot.lo == candidate.lo) return;
      if (candidate.q < slot.q) std::swap(slot, candidate);
    }
  }

  /// Offers the most promising front entry of the newest row: the subtree
  /// just made is often the next to be joined.
  void offer_newest(double c, Choice& best) {
    const std::size_t x = newest_;
    if (x >= n_) return;
    const Row& row = store_.row(x);
    const std::vector<double>& r = state_.row_sums;
    std::size_t chosen = n_;
    double chosen_bound = infinity;
    for (std::size_t b = 0; b < bins; ++b) {
      const std::size_t p = store_.segment_first(x, b);
      if (p >= store_.segment_last(x, b)) continue;
      const std::size_t y = store_.entries()[p].partner;
      const double t = c * row.scale.decode(store_.entries()[p].key);
      const double bound = (t - r[std::max(x, y)]) - r[std::min(x, y)];
      if (chosen == n_ || bound < chosen_bound) {
        chosen = y;
        chosen_bound = bound;
      }
    }
    if (chosen < n_) {
      best.offer(std::max(x, chosen), std::min(x, chosen),
                 exact_q(std::max(x, chosen), std::min(x, chosen), c));
    }
  }

  /// Offers the remembered pairs whose subtrees are still live, at their
  /// current Q, and forgets them.
  void offer_kept(double c, Choice& best) {
    const std::vector<Birth>& birth = subtrees_.birth;
    for (Kept& slot : kept_) {
      const bool same = birth[slot.hi] == slot.birth_hi && birth[slot.lo] == slot.birth_lo;
      if (slot.q != infinity && same) {
        best.offer(slot.hi, slot.lo, exact_q(slot.hi, slot.lo, c));
      }
      slot = Kept{};
    }
  }

  /// The new row of a join as the update made it: how many distances, their
  /// range and, with offsets, the range once the partners' offsets are taken
  /// out.
  struct NewRow {
    std::size_t count = 0;
    double lowest = infinity;
    double highest = -infinity;
    double shifted_lowest = infinity;
    double shifted_highest = -infinity;
    bool finite = true;
  };

  /// Joins i > j with the shared arithmetic and gives slot i its new row;
  /// false when a new distance is not finite.
  bool join(std::size_t i, std::size_t j, double m, bool rows_needed) {
    const NewRow row = offsets_.on ? update<true>(i, j, m) : update<false>(i, j, m);
    store_.retire_row(i);
    store_.retire_row(j);
    subtrees_.join(i, j);
    if (!row.finite) return false;
    newest_ = n_;
    if (rows_needed && row.count > 0) {
      KeyScale scale(row.lowest, row.highest);
      if (offsets_.on) {
        if (!offsets_.admit(i, row.lowest, row.highest)) return false;
        scale = KeyScale(row.shifted_lowest, row.shifted_highest);
      }
      add_row(i, j, std::span<const double>(new_values_.data(), row.count), scale, m - 2.0);
      newest_ = i;
    }
    return true;
  }

  /// The update of a join, which also writes the new row: its partners, and
  /// its distances less their partners' offsets with `shifted`. The offsets
  /// are taken out as each distance is made: the update mostly waits for
  /// the matrix's lines, and a pass of its own over the row cost more.
  template <bool shifted>
  NewRow update(std::size_t i, std::size_t j, double m) {
    NewRow row;
    Partner* partners = new_partners_.data();
    double* values = new_values_.data();
    const double* offset = offsets_.of.data();
    detail::join_slots<true>(state_, i, j, m, subtrees_.live, [&](std::size_t k, double e) {
      partners[row.count] = static_cast<Partner>(k);
      row.lowest = e < row.lowest ? e : row.lowest;
      row.highest = e > row.highest ? e : row.highest;
      row.finite = row.finite && std::isfinite(e);
      if constexpr (shifted) {
        const double v = e - offset[k];
        row.shifted_lowest = v < row.shifted_lowest ? v : row.shifted_lowest;
        row.shifted_highest = v > row.shifted_highest ? v : row.shifted_highest;
        values[row.count] = v;
      } else {
        values[row.count] = e;
      }
      ++row.count;
    });
    return row;
  }

  void add_row(std::size_t i, std::size_t j, std::span<const double> values,
               const KeyScale& scale, double c) {
    // The bin of the new subtree's rank, as the bins were made, among the
    // sums measured before the join, counted in their dense copy: all of
    // them but those of slots i and j (j has left the live slots).
    const std::vector<Partner>& live = subtrees_.live;
    const double before_i = shifted_[i];
    shifted_[i] = state_.row_sums[i] - c * offsets_.of[i];
    const double r_i = shifted_[i];
    const std::size_t measured = live.size() + 1;
    const std::size_t below = count_below(shifted_live_.data(), measured, r_i) -
                              (before_i < r_i ? 1u : 0u) - (shifted_[j] < r_i ? 1u : 0u);
    subtrees_.bin_of[i] = subtrees_.rank_bins.bin_of_rank(below, live.size());
    store_.add_row(i, values, new_partners_, scale);
  }

  NJState& state_;
  StopPoller& poller_;
  std::size_t n_;
  Subtrees subtrees_;
  Offsets offsets_;
  // Each live subtree's row sum less c times its offset, at this step's c,
  // by slot and, as measured, in the order of the live slots.
  std::vector<double> shifted_;
  std::vector<double> shifted_live_;
  double margin_ = 0.0;  // how far below its computed value a bound is taken
  RowStore store_;
  std::array<double, bins> bin_max_{};
  Wear wear_;
  std::unique_ptr<RowToWalk[]> to_walk_;  // room for every slot
  struct Kept {
    Partner hi = 0;
    Partner lo = 0;
    Birth birth_hi = never_born;
    Birth birth_lo = never_born;
    double q = infinity;
  };
  std::array<Kept, 4> kept_{};
  std::size_t newest_ = 0;  // the slot whose row the last join made, or n
  std::size_t lowest_slot_ = 0;  // the row of smallest bound in the last search, or n
  std::uint64_t visited_ = 0;

  // The new row of a join: partners and distances.
  std::vector<Partner> new_partners_;
  std::vector<double> new_values_;
};

// Small matrices are scanned: below 64 sequences setting up the rows costs
// more than scanning every pair, and below 24 even the scan's list of live
// slots does (benchmarks/bench_nj, "differential"). Slots and births must
// fit the 32-bit partner and birth fields. A row sum is finite only when
// every distance in it is, so this admits exactly the matrices without
// infinity or NaN (and without overflowing sums); the others, and runs
// where a value turns out not finite on the way, are finished by scanning.
TreeResult join_fast(NJState& state, StopPoller& poller) {
  const std::size_t n = state.matrix.size();
  if (n < 24) return finish_plain(state, poller);
  const bool finite =
      std::ranges::all_of(state.row_sums, [](double s) { return std::isfinite(s); });
  if (finite && n >= 64 && n < (std::size_t{1} << 31)) {
    FastEngine engine(state, poller);
    if (engine.join_all()) return final_join(state);
  }
  return finish_scanning(state, poller);
}

}  // namespace

}  // namespace fast

TreeResult neighbor_joining(DistMat matrix, const StopCheck& should_stop) {
  return build_tree(std::move(matrix), RowTotals{}, should_stop, fast::join_fast);
}

TreeResult neighbor_joining_with_totals(DistMat matrix, RowTotals totals,
                                        const StopCheck& should_stop) {
  return build_tree(std::move(matrix), std::move(totals), should_stop, fast::join_fast);
}

}  // namespace nj
