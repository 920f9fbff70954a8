// SPDX-License-Identifier: MIT
// The fast engine: the plain engine's choices, found without visiting every
// pair. Each live pair is kept once, in a row sorted by distance that belongs
// to the younger of its two subtrees; a lower bound of Q per entry lets the
// search stop early in each row and skip most entries without reading the
// matrix. The joins themselves are the plain engine's, operation for
// operation.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "join_step.hpp"
#include "nj/nj.hpp"

namespace nj {

namespace {

using Key = std::uint16_t;
using Partner = std::uint32_t;
/// A slot's birth orders its subtree among all subtrees: leaf s is born s,
/// the inner node of step t is born n + t, and a retired slot is born never.
using Birth = std::uint32_t;
constexpr Birth never_born = std::numeric_limits<Birth>::max();
constexpr double infinity = std::numeric_limits<double>::infinity();

/// Maps the distances of one row to 16-bit keys, monotonically, so that the
/// key of a distance decodes to a value no greater than that distance.
class KeyScale {
 public:
  KeyScale() = default;

  /// A scale whose keys spread over the finite range [lowest, highest].
  KeyScale(double lowest, double highest) : lo_(lowest) {
    const double step = highest / key_levels - lowest / key_levels;
    // Any step of zero or more keeps the keys correct; only precision needs
    // a usable one. A tiny step would make the division below unreliable.
    if (step > std::numeric_limits<double>::min() * 0x1p32) {
      step_ = step;
      inverse_ = 1.0 / step;
    }
  }

  /// lo + key * step: rounding is monotone, so this never decreases as the
  /// key grows.
  double decode(Key key) const noexcept { return lo_ + static_cast<double>(key) * step_; }

  /// The largest key whose decoded value is at most `value`, or near it.
  /// Correctness needs only decode(encode(v)) <= v, which the loop ensures.
  Key encode(double value) const noexcept {
    const double t = (value - lo_) * inverse_;
    auto key = static_cast<std::uint32_t>(t >= key_levels ? key_levels : t >= 1.0 ? t : 0.0);
    while (key > 0 && decode(static_cast<Key>(key)) > value) --key;
    return static_cast<Key>(key);
  }

 private:
  static constexpr double key_levels = 65535.0;
  double lo_ = 0.0;
  double step_ = 0.0;
  double inverse_ = 0.0;
};

/// The entries a slot's subtree owns: its pairs with every subtree older
/// than itself, sorted by key. Entries before `begin` were found stale.
struct Row {
  std::size_t begin = 0;
  std::size_t end = 0;
  KeyScale scale;
};

/// Sorts (key, partner) entries by key with two byte-wise counting passes.
class KeySorter {
 public:
  void sort(std::span<const Key> keys, std::span<const Partner> partners, Key* out_keys,
            Partner* out_partners) {
    const std::size_t len = keys.size();
    low_keys_.resize(len);
    low_partners_.resize(len);
    std::array<std::size_t, 256> low{};
    std::array<std::size_t, 256> high{};
    for (const Key key : keys) {
      ++low[key & 0xFFu];
      ++high[key >> 8];
    }
    exclusive_prefix(low);
    exclusive_prefix(high);
    for (std::size_t p = 0; p < len; ++p) {
      const std::size_t at = low[keys[p] & 0xFFu]++;
      low_keys_[at] = keys[p];
      low_partners_[at] = partners[p];
    }
    for (std::size_t p = 0; p < len; ++p) {
      const std::size_t at = high[low_keys_[p] >> 8]++;
      out_keys[at] = low_keys_[p];
      out_partners[at] = low_partners_[p];
    }
  }

 private:
  static void exclusive_prefix(std::array<std::size_t, 256>& counts) noexcept {
    std::size_t total = 0;
    for (std::size_t& c : counts) {
      const std::size_t here = c;
      c = total;
      total += here;
    }
  }

  std::vector<Key> low_keys_;
  std::vector<Partner> low_partners_;
};

/// The chosen pair so far: slots i > j and the exact Q of the pair.
struct Choice {
  std::size_t i = 0;
  std::size_t j = 0;
  double q = infinity;
  bool found = false;

  /// Takes (i, j) if it comes first under the plain scan's rule when no Q is
  /// NaN: the smallest Q wins, and equal values go to the pair the plain scan
  /// visits first, the smallest i and then the smallest j.
  void offer(std::size_t hi, std::size_t lo, double value) noexcept {
    if (!found || value < q || (value == q && (hi < i || (hi == i && lo < j)))) {
      i = hi;
      j = lo;
      q = value;
      found = true;
    }
  }
};

class FastEngine {
 public:
  FastEngine(NJState& state, StopPoller& poller)
      : state_(state),
        poller_(poller),
        n_(state.active.size()),
        birth_(n_),
        rows_(n_),
        first_bound_(n_, infinity) {
    for (std::size_t s = 0; s < n_; ++s) birth_[s] = static_cast<Birth>(s);
    next_birth_ = static_cast<Birth>(n_);
    build_leaf_rows();
  }

  /// Joins until two slots remain; false when a value turned out not finite
  /// and the plain engine must take over from the current state.
  bool join_all() {
    for (std::uint64_t live = state_.active.count(); live > 2; --live) {
      const auto m = static_cast<double>(live);
      if (!row_sums_finite()) return false;
      const Choice best = search(m);
      if (!best.found) return false;
      if (!join(best.i, best.j, m, live > 3)) return false;
      poller_.spend(live + visited_);
      visited_ = 0;
    }
    return true;
  }

 private:
  void build_leaf_rows() {
    const std::size_t total = pair_index(0, n_);
    // A third more room than the leaves need lets new rows go to the end for
    // a long time before dead rows and stale entries must be squeezed out.
    capacity_ = std::max(total + total / 3, total + 2 * n_);
    keys_ = std::make_unique_for_overwrite<Key[]>(capacity_);
    partners_ = std::make_unique_for_overwrite<Partner[]>(capacity_);
    const double* d = state_.matrix.distances.data();
    for (std::size_t x = 1; x < n_; ++x) {
      const std::span<const double> row(d + pair_index(0, x), x);
      const auto [lowest, highest] = std::minmax_element(row.begin(), row.end());
      const KeyScale scale(*lowest, *highest);
      scratch_keys_.resize(x);
      scratch_partners_.resize(x);
      for (std::size_t y = 0; y < x; ++y) {
        scratch_keys_[y] = scale.encode(row[y]);
        scratch_partners_[y] = static_cast<Partner>(y);
      }
      const std::size_t at = pair_index(0, x);
      sorter_.sort(scratch_keys_, scratch_partners_, keys_.get() + at, partners_.get() + at);
      rows_[x] = Row{at, at + x, scale};
    }
    tail_ = total;
  }

  bool row_sums_finite() {
    const std::vector<double>& r = state_.row_sums;
    double highest = -infinity;
    bool finite = true;
    for (std::size_t s = state_.active.next(0); s < n_; s = state_.active.next(s + 1)) {
      finite = finite && std::isfinite(r[s]);
      highest = std::max(highest, r[s]);
    }
    max_row_sum_ = highest;
    return finite;
  }

  // The exactness argument. While every live distance and row sum is finite,
  // no Q is NaN, so the plain scan picks the pair of smallest Q and, among
  // equal values, the pair it visits first; Choice::offer applies that rule
  // to every pair it is shown, in any order. Rounding to nearest is monotone:
  // a <= a' gives fl(a * c) <= fl(a' * c) for c > 0, fl(a - b) <= fl(a' - b)
  // and fl(b - a') <= fl(b - a). So for an entry of row x with key k and
  // partner y, whose distance is d >= v = decode(k) and whose row sums obey
  // r_y <= R (the largest live row sum), with c = m - 2 and t = fl(c v):
  //   Q = fl(fl(fl(c d) - r_hi) - r_lo) >= fl(fl(t - r_hi) - r_lo)   (1)
  // where hi and lo are the larger and smaller of x and y, and
  //   (1) >= min(fl(fl(t - r_x) - R), fl(fl(t - R) - r_x))           (2)
  // (the first form when x is the higher slot, the second otherwise). Both
  // bounds only grow with v, which only grows along a sorted row. An entry
  // is passed over only when its bound is strictly greater than the Q of a
  // pair already evaluated exactly: then its own Q is larger than the best
  // Q, so it cannot be the pair the plain scan chooses, even on ties. The
  // search stops in a row at the first entry whose bound (2) is that large,
  // since (2) holds for every later entry of the row. Every other live pair
  // has its Q computed as the plain scan computes it and is offered.
  static double bound_either_side(double t, double r_x, double r_max) noexcept {
    const double as_higher = (t - r_x) - r_max;
    const double as_lower = (t - r_max) - r_x;
    return as_higher < as_lower ? as_higher : as_lower;
  }

  double exact_q(std::size_t hi, std::size_t lo, double c) const noexcept {
    const double d = state_.matrix.distances[pair_index(lo, hi)];
    const std::vector<double>& r = state_.row_sums;
    return ((c * d) - r[hi]) - r[lo];
  }

  /// Drops the stale entries at the front of row x; false when none is left.
  bool skip_stale_front(std::size_t x) noexcept {
    Row& row = rows_[x];
    const Birth own = birth_[x];
    while (row.begin < row.end && birth_[partners_[row.begin]] > own) ++row.begin;
    return row.begin < row.end;
  }

  Choice search(double m) {
    const double c = m - 2.0;
    const std::vector<double>& r = state_.row_sums;
    const ActiveSet& active = state_.active;
    // A first candidate: the row whose front entry has the smallest bound (1).
    std::size_t seed_x = n_;
    std::size_t seed_y = n_;
    double seed_bound = infinity;
    for (std::size_t x = active.next(0); x < n_; x = active.next(x + 1)) {
      if (!skip_stale_front(x)) {
        first_bound_[x] = infinity;
        continue;
      }
      const Row& row = rows_[x];
      const double t = c * row.scale.decode(keys_[row.begin]);
      first_bound_[x] = bound_either_side(t, r[x], max_row_sum_);
      const std::size_t y = partners_[row.begin];
      const double own = x > y ? (t - r[x]) - r[y] : (t - r[y]) - r[x];
      if (seed_x == n_ || own < seed_bound) {
        seed_x = x;
        seed_y = y;
        seed_bound = own;
      }
    }
    Choice best;
    if (seed_x == n_) return best;
    best.offer(std::max(seed_x, seed_y), std::min(seed_x, seed_y),
               exact_q(std::max(seed_x, seed_y), std::min(seed_x, seed_y), c));
    for (std::size_t x = active.next(0); x < n_; x = active.next(x + 1)) {
      if (first_bound_[x] <= best.q) walk_row(x, c, best);
    }
    return best;
  }

  void walk_row(std::size_t x, double c, Choice& best) {
    const Row& row = rows_[x];
    const std::vector<double>& r = state_.row_sums;
    const Birth own = birth_[x];
    const double r_x = r[x];
    std::size_t p = row.begin;
    for (; p < row.end; ++p) {
      const double t = c * row.scale.decode(keys_[p]);
      if (bound_either_side(t, r_x, max_row_sum_) > best.q) break;
      const std::size_t y = partners_[p];
      if (birth_[y] > own) continue;
      const std::size_t hi = std::max(x, y);
      const std::size_t lo = std::min(x, y);
      if ((t - r[hi]) - r[lo] > best.q) continue;
      best.offer(hi, lo, exact_q(hi, lo, c));
    }
    visited_ += p - row.begin;
  }

  /// Joins i > j with the shared arithmetic and gives slot i its new row;
  /// false when a new distance is not finite.
  bool join(std::size_t i, std::size_t j, double m, bool rows_needed) {
    new_partners_.clear();
    new_values_.clear();
    detail::join_slots(state_, i, j, m, [&](std::size_t k, double e) {
      new_partners_.push_back(static_cast<Partner>(k));
      new_values_.push_back(e);
    });
    birth_[i] = next_birth_++;
    birth_[j] = never_born;
    rows_[i] = Row{};
    rows_[j] = Row{};
    if (!std::ranges::all_of(new_values_, [](double e) { return std::isfinite(e); })) {
      return false;
    }
    if (rows_needed) place_row(i);
    return true;
  }

  void place_row(std::size_t i) {
    const std::size_t len = new_values_.size();
    if (len == 0) return;
    const auto [lowest, highest] = std::ranges::minmax_element(new_values_);
    const KeyScale scale(*lowest, *highest);
    scratch_keys_.resize(len);
    for (std::size_t p = 0; p < len; ++p) scratch_keys_[p] = scale.encode(new_values_[p]);
    if (capacity_ - tail_ < len) compact();
    sorter_.sort(scratch_keys_, new_partners_, keys_.get() + tail_, partners_.get() + tail_);
    rows_[i] = Row{tail_, tail_ + len, scale};
    tail_ += len;
  }

  /// Moves the live rows to the front of the store, in store order, without
  /// their stale entries. Rows only move down, so each move is safe in place.
  void compact() {
    order_.clear();
    for (std::size_t s = state_.active.next(0); s < n_; s = state_.active.next(s + 1)) {
      if (rows_[s].begin < rows_[s].end) order_.push_back(s);
    }
    std::ranges::sort(order_, {}, [&](std::size_t s) { return rows_[s].begin; });
    std::size_t to = 0;
    for (const std::size_t s : order_) {
      Row& row = rows_[s];
      const std::size_t begin = to;
      for (std::size_t p = row.begin; p < row.end; ++p) {
        if (birth_[partners_[p]] > birth_[s]) continue;
        keys_[to] = keys_[p];
        partners_[to] = partners_[p];
        ++to;
      }
      row.begin = begin;
      row.end = to;
    }
    tail_ = to;
  }

  NJState& state_;
  StopPoller& poller_;
  std::size_t n_;
  std::vector<Birth> birth_;
  Birth next_birth_ = 0;
  std::vector<Row> rows_;
  std::vector<double> first_bound_;
  double max_row_sum_ = 0.0;
  std::uint64_t visited_ = 0;

  std::unique_ptr<Key[]> keys_;
  std::unique_ptr<Partner[]> partners_;
  std::size_t capacity_ = 0;
  std::size_t tail_ = 0;

  KeySorter sorter_;
  std::vector<Key> scratch_keys_;
  std::vector<Partner> scratch_partners_;
  std::vector<Partner> new_partners_;
  std::vector<double> new_values_;
  std::vector<std::size_t> order_;
};

}  // namespace

std::expected<std::unique_ptr<TreeNode>, std::string> run_fast(NJState state,
                                                               const StopCheck& should_stop) {
  const std::size_t n = state.matrix.size();
  if (n == 0) return std::unexpected(std::string("Empty distance matrix"));
  if (n == 1) return std::move(state.nodes[0]);
  StopPoller poller(should_stop);
  // Slots and births must fit the 32-bit partner and birth fields. A row sum
  // is finite only when every distance in it is, so this admits exactly the
  // matrices without infinity or NaN (and without overflowing sums).
  const bool finite = std::ranges::all_of(state.row_sums, [](double s) { return std::isfinite(s); });
  if (finite && n < (std::size_t{1} << 31)) {
    FastEngine engine(state, poller);
    if (engine.join_all()) return final_join(state);
  }
  return detail::finish_plain(state, poller);
}

}  // namespace nj
