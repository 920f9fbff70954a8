// SPDX-License-Identifier: MIT
// The fast engine: the plain engine's choices, found without visiting every
// pair. Each live pair is kept once, as an entry in the row of the younger of
// its two subtrees. A row is cut into segments by the row-sum bin of the
// other subtree, and each segment is sorted by distance, so a lower bound of
// Q per segment lets the search stop early in it and pass over most entries
// without reading the matrix. The joins themselves are the plain engine's,
// operation for operation.
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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

/// Subtrees are put into bins by the rank of their row sum at birth; a bound
/// over a segment then needs only the largest row sum in its bin.
constexpr std::size_t bins = 8;

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

/// A row: where its entries start in the store, how its keys decode, and
/// which low key bits its order ignores.
struct Row {
  std::size_t base = 0;
  KeyScale scale;
  Key floor_mask = 0xFFFF;

  /// A lower bound of the distances of this entry and of every entry after
  /// it in its segment: the smallest value of its bucket.
  double floor(Key key) const noexcept { return scale.decode(static_cast<Key>(key & floor_mask)); }
};

/// Writes rows: entries ordered by bin and then by the top bits of their
/// key, in one counting pass. Within one bucket the entries keep no order,
/// so a bound taken at an entry must use its bucket's floor (Row::floor) to
/// hold for the entries after it.
class RowWriter {
 public:
  /// Encodes and orders the entries (values[p], partners[p]) into
  /// `out_keys`/`out_partners`; returns the row without its base and sets
  /// where each bin's segment ends.
  Row write(std::span<const double> values, std::span<const Partner> partners,
            const std::uint8_t* bin_of, const KeyScale& scale, Key* out_keys,
            Partner* out_partners, std::array<std::uint32_t, bins>& segment_ends) {
    const std::size_t len = values.size();
    const unsigned bits = bits_for(len);
    const unsigned shift = 16 - bits;
    counts_.assign((bins << bits) + 1, 0);
    keys_.resize(len);
    buckets_.resize(len);
    for (std::size_t p = 0; p < len; ++p) {
      const Key key = scale.encode(values[p]);
      const auto bucket = static_cast<std::uint16_t>((bin_of[partners[p]] << bits) + (key >> shift));
      keys_[p] = key;
      buckets_[p] = bucket;
      ++counts_[bucket + 1u];
    }
    for (std::size_t b = 1; b < counts_.size(); ++b) counts_[b] += counts_[b - 1];
    for (std::size_t b = 0; b < bins; ++b) segment_ends[b] = counts_[(b + 1) << bits];
    for (std::size_t p = 0; p < len; ++p) {
      const std::uint32_t at = counts_[buckets_[p]]++;
      out_keys[at] = keys_[p];
      out_partners[at] = partners[p];
    }
    return Row{0, scale, static_cast<Key>(0xFFFFu << shift)};
  }

 private:
  /// Enough bits for a few entries per bucket.
  static unsigned bits_for(std::size_t len) noexcept {
    const auto width = static_cast<unsigned>(std::bit_width(len / bins));
    return std::clamp(width, 3u, 14u) - 2u;
  }

  std::vector<std::uint32_t> counts_;
  std::vector<Key> keys_;
  std::vector<std::uint16_t> buckets_;
};

/// Anonymous memory for the entries, asked for in huge pages where the
/// system grants them: the search reads it at scattered places.
class EntryStore {
 public:
  explicit EntryStore(std::size_t capacity) : capacity_(capacity) {
    bytes_ = capacity * (sizeof(Partner) + sizeof(Key));
    void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    (void)madvise(memory, bytes_, MADV_HUGEPAGE);
    memory_ = memory;
    partners = static_cast<Partner*>(memory);
    keys = reinterpret_cast<Key*>(partners + capacity);
  }
  EntryStore(const EntryStore&) = delete;
  EntryStore& operator=(const EntryStore&) = delete;
  ~EntryStore() { munmap(memory_, bytes_); }

  std::size_t capacity() const noexcept { return capacity_; }

  Partner* partners = nullptr;
  Key* keys = nullptr;

 private:
  std::size_t capacity_;
  std::size_t bytes_ = 0;
  void* memory_ = nullptr;
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

// The exactness argument. While every live distance and row sum is finite,
// no Q is NaN, so the plain scan picks the pair of smallest Q and, among
// equal values, the pair it visits first; Choice::offer applies that rule to
// every pair it is shown, in any order. Rounding to nearest is monotone:
// a <= a' gives fl(a * c) <= fl(a' * c) for c > 0, fl(a - b) <= fl(a' - b)
// and fl(b - a') <= fl(b - a), overflow to infinity included. Take an entry
// of row x, with partner y, distance d and key k, in a segment of bin b, and
// v <= decode(k) <= d (v is the front value of the segment, or the entry's
// own decoded key). With c = m - 2, t = fl(c v), and R_b the largest live row
// sum in bin b, so r_y <= R_b:
//   Q = fl(fl(fl(c d) - r_hi) - r_lo) >= fl(fl(t - r_hi) - r_lo)      (1)
// where hi and lo are the larger and smaller of x and y, and
//   (1) >= min(fl(fl(t - r_x) - R_b), fl(fl(t - R_b) - r_x))          (2)
// (the first form holds when x is the higher slot, the second otherwise).
// Both bounds only grow with v, and v only grows along a sorted segment, so
// (2) at one entry bounds every later entry of the segment too. A pair is
// passed over only when one of its bounds is strictly greater than the Q of
// a pair already evaluated exactly: its own Q is then larger than the
// smallest Q, so it is not the pair the plain scan chooses, even on a tie.
// Every other live pair has its Q computed exactly as the plain scan does
// and is offered.
inline double segment_bound(double t, double r_x, double r_bin) noexcept {
  const double as_higher = (t - r_x) - r_bin;
  const double as_lower = (t - r_bin) - r_x;
  return as_higher < as_lower ? as_higher : as_lower;
}

/// Eight bins of doubles at once; GCC lowers the operations to the widest
/// vectors of the target, each lane with the IEEE operation as written.
using BinLanes = double __attribute__((vector_size(bins * sizeof(double))));

/// Bound (2) of each segment of a row at its front.
[[gnu::always_inline]] inline void lane_bounds(const double* front, double r_x,
                                               const BinLanes& r_bin, double c, BinLanes& bound) {
  BinLanes lanes;
  std::memcpy(&lanes, front, sizeof lanes);
  const BinLanes t = c * lanes;
  const BinLanes as_higher = (t - r_x) - r_bin;
  const BinLanes as_lower = (t - r_bin) - r_x;
  bound = as_higher < as_lower ? as_higher : as_lower;
}

/// For the live rows `live[0..count)`: the smallest bound (2) over the
/// segments of each row, at their fronts.
__attribute__((target_clones("avx512f", "avx2", "default"))) void bound_rows(
    const double* front, const Partner* live, std::size_t count, const double* r,
    const double* bin_max, double c, double* out) {
  BinLanes r_bin;
  std::memcpy(&r_bin, bin_max, sizeof r_bin);
  for (std::size_t at = 0; at < count; ++at) {
    const std::size_t x = live[at];
    BinLanes bound;
    lane_bounds(front + x * bins, r[x], r_bin, c, bound);
    double lowest = bound[0];
    for (std::size_t b = 1; b < bins; ++b) lowest = bound[b] < lowest ? bound[b] : lowest;
    out[at] = lowest;
  }
}

/// Appends slot * bins + bin for every segment of the live rows whose row
/// bound is at most `best` and whose own bound (2) is at most `best`.
__attribute__((target_clones("avx512f", "avx2", "default"))) void select_segments(
    const double* front, const Partner* live, const double* row_bounds, std::size_t count,
    const double* r, const double* bin_max, double c, double best, std::vector<std::size_t>& out) {
  BinLanes r_bin;
  std::memcpy(&r_bin, bin_max, sizeof r_bin);
  for (std::size_t at = 0; at < count; ++at) {
    if (row_bounds[at] > best) continue;
    const std::size_t x = live[at];
    BinLanes bound;
    lane_bounds(front + x * bins, r[x], r_bin, c, bound);
    for (std::size_t b = 0; b < bins; ++b) {
      if (bound[b] <= best) out.push_back(x * bins + b);
    }
  }
}

class FastEngine {
 public:
  FastEngine(NJState& state, StopPoller& poller)
      : state_(state),
        poller_(poller),
        n_(state.active.size()),
        store_(store_capacity(n_)),
        birth_(n_),
        bin_of_(n_),
        rows_(n_),
        segment_begin_(n_ * bins, 0),
        segment_end_(n_ * bins, 0),
        front_(n_ * bins, infinity),
        new_partners_(n_),
        new_values_(n_) {
    for (std::size_t s = 0; s < n_; ++s) {
      birth_[s] = static_cast<Birth>(s);
      live_.push_back(static_cast<Partner>(s));
    }
    next_birth_ = static_cast<Birth>(n_);
    assign_leaf_bins();
    build_leaf_rows();
  }

  /// Joins until two slots remain; false when a value turned out not finite
  /// and the plain engine must take over from the current state.
  bool join_all() {
    for (std::uint64_t live = state_.active.count(); live > 2; --live) {
      const auto m = static_cast<double>(live);
      if (!measure_bins()) return false;
      Choice best;
      search(m, best);
      if (!best.found) return false;
      if (!join(best.i, best.j, m, live > 3)) return false;
      poller_.spend(live + visited_);
      visited_ = 0;
    }
    return true;
  }

 private:
  // A third more room than the leaves need lets new rows go to the end for
  // a long time before dead rows and stale entries must be squeezed out.
  static std::size_t store_capacity(std::size_t n) {
    const std::size_t total = pair_index(0, n);
    return std::max(total + total / 3, total + 2 * n);
  }

  void assign_leaf_bins() {
    std::vector<std::uint32_t> order(live_.begin(), live_.end());
    const std::vector<double>& r = state_.row_sums;
    std::ranges::stable_sort(order, {}, [&](std::uint32_t s) { return r[s]; });
    for (std::size_t rank = 0; rank < n_; ++rank) {
      bin_of_[order[rank]] = static_cast<std::uint8_t>(rank * bins / n_);
    }
  }

  void build_leaf_rows() {
    const double* d = state_.matrix.distances.data();
    for (std::size_t y = 0; y < n_; ++y) new_partners_[y] = static_cast<Partner>(y);
    for (std::size_t x = 1; x < n_; ++x) {
      const std::span<const double> row(d + pair_index(0, x), x);
      const auto [lowest, highest] = std::minmax_element(row.begin(), row.end());
      place_row(x, pair_index(0, x), row, KeyScale(*lowest, *highest));
    }
    tail_ = pair_index(0, n_);
  }

  /// Writes the entries (values[p], new_partners_[p]) into the store at
  /// `at` as the row of slot x.
  void place_row(std::size_t x, std::size_t at, std::span<const double> values,
                 const KeyScale& scale) {
    std::array<std::uint32_t, bins> ends{};
    Row& row = rows_[x] = writer_.write(values, std::span(new_partners_).first(values.size()),
                                        bin_of_.data(), scale, store_.keys + at,
                                        store_.partners + at, ends);
    row.base = at;
    std::uint32_t begin = 0;
    for (std::size_t b = 0; b < bins; ++b) {
      segment_begin_[x * bins + b] = begin;
      segment_end_[x * bins + b] = ends[b];
      front_[x * bins + b] = begin < ends[b] ? row.floor(store_.keys[at + begin]) : infinity;
      begin = ends[b];
    }
  }

  /// The largest live row sum of each bin; false when a row sum is not finite.
  bool measure_bins() {
    const std::vector<double>& r = state_.row_sums;
    bin_max_.fill(-infinity);
    bool finite = true;
    for (const Partner s : live_) {
      finite = finite && std::isfinite(r[s]);
      double& top = bin_max_[bin_of_[s]];
      top = std::max(top, r[s]);
    }
    return finite;
  }

  double exact_q(std::size_t hi, std::size_t lo, double c) const noexcept {
    const double d = state_.matrix.distances[pair_index(lo, hi)];
    const std::vector<double>& r = state_.row_sums;
    return ((c * d) - r[hi]) - r[lo];
  }

  /// The smallest bound (2) over the segments of row x, at their fronts.
  double row_bound(std::size_t x, double c) const noexcept {
    const double r_x = state_.row_sums[x];
    const double* front = front_.data() + x * bins;
    std::array<double, bins> bound{};
    for (std::size_t b = 0; b < bins; ++b) bound[b] = segment_bound(c * front[b], r_x, bin_max_[b]);
    double lowest = bound[0];
    for (std::size_t b = 1; b < bins; ++b) lowest = bound[b] < lowest ? bound[b] : lowest;
    return lowest;
  }

  void search(double m, Choice& best) {
    const double c = m - 2.0;
    const std::size_t live = live_.size();
    row_bounds_.resize(live);
    bound_rows(front_.data(), live_.data(), live, state_.row_sums.data(), bin_max_.data(), c,
               row_bounds_.data());
    seed(c, best);
    cells_.clear();
    select_segments(front_.data(), live_.data(), row_bounds_.data(), live, state_.row_sums.data(),
                    bin_max_.data(), c, best.q, cells_);
    // The segments lie scattered in the store: fetch well ahead of use.
    constexpr std::size_t ahead = 32;
    for (std::size_t k = 0; k < std::min(ahead, cells_.size()); ++k) fetch_segment(cells_[k]);
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      if (k + ahead < cells_.size()) fetch_segment(cells_[k + ahead]);
      const std::size_t x = cells_[k] / bins;
      const std::size_t b = cells_[k] % bins;
      if (segment_bound(c * front_[cells_[k]], state_.row_sums[x], bin_max_[b]) <= best.q) {
        walk(x, b, c, best);
      }
    }
  }

  void fetch_segment(std::size_t cell) const noexcept {
    const std::size_t at = rows_[cell / bins].base + segment_begin_[cell];
    __builtin_prefetch(store_.keys + at);
    __builtin_prefetch(store_.partners + at);
  }

  /// A first exactly evaluated pair, from the segment with the smallest
  /// bound; its Q lets the search pass over most segments at once.
  void seed(double c, Choice& best) {
    for (;;) {
      const auto lowest = std::ranges::min_element(row_bounds_);
      if (lowest == row_bounds_.end() || *lowest == infinity) return;
      const auto at = static_cast<std::size_t>(lowest - row_bounds_.begin());
      const std::size_t x = live_[at];
      const double r_x = state_.row_sums[x];
      std::size_t chosen = 0;
      double chosen_bound = infinity;
      for (std::size_t b = 0; b < bins; ++b) {
        const double bound = segment_bound(c * front_[x * bins + b], r_x, bin_max_[b]);
        if (bound < chosen_bound) {
          chosen = b;
          chosen_bound = bound;
        }
      }
      const std::size_t p = drop_stale_front(x, chosen);
      if (p < rows_[x].base + segment_end_[x * bins + chosen]) {
        const std::size_t y = store_.partners[p];
        best.offer(std::max(x, y), std::min(x, y), exact_q(std::max(x, y), std::min(x, y), c));
        return;
      }
      row_bounds_[at] = row_bound(x, c);
    }
  }

  /// Skips the stale entries at the front of a segment for good, refreshes
  /// its front value and returns the store position of its first entry.
  std::size_t drop_stale_front(std::size_t x, std::size_t b) noexcept {
    const Row& row = rows_[x];
    const Birth own = birth_[x];
    std::size_t p = row.base + segment_begin_[x * bins + b];
    const std::size_t end = row.base + segment_end_[x * bins + b];
    while (p < end && birth_[store_.partners[p]] > own) ++p;
    segment_begin_[x * bins + b] = static_cast<std::uint32_t>(p - row.base);
    front_[x * bins + b] = p < end ? row.floor(store_.keys[p]) : infinity;
    return p;
  }

  void walk(std::size_t x, std::size_t b, double c, Choice& best) {
    const Row& row = rows_[x];
    const std::vector<double>& r = state_.row_sums;
    const Birth own = birth_[x];
    const double r_x = r[x];
    const double r_bin = bin_max_[b];
    const std::size_t first = drop_stale_front(x, b);
    const std::size_t end = row.base + segment_end_[x * bins + b];
    std::size_t p = first;
    for (; p < end; ++p) {
      const Key key = store_.keys[p];
      if (segment_bound(c * row.floor(key), r_x, r_bin) > best.q) break;
      const std::size_t y = store_.partners[p];
      if (birth_[y] > own) continue;
      const std::size_t hi = std::max(x, y);
      const std::size_t lo = std::min(x, y);
      const double t = c * row.scale.decode(key);
      if ((t - r[hi]) - r[lo] > best.q) continue;
      best.offer(hi, lo, exact_q(hi, lo, c));
    }
    visited_ += p - first + 1;
  }

  /// Joins i > j with the shared arithmetic and gives slot i its new row;
  /// false when a new distance is not finite.
  bool join(std::size_t i, std::size_t j, double m, bool rows_needed) {
    std::size_t count = 0;
    detail::join_slots(state_, i, j, m, [&](std::size_t k, double e) {
      new_partners_[count] = static_cast<Partner>(k);
      new_values_[count] = e;
      ++count;
    });
    birth_[i] = next_birth_++;
    birth_[j] = never_born;
    live_.erase(std::ranges::lower_bound(live_, static_cast<Partner>(j)));
    for (std::size_t b = 0; b < bins; ++b) {
      segment_begin_[i * bins + b] = segment_end_[i * bins + b] = 0;
      segment_begin_[j * bins + b] = segment_end_[j * bins + b] = 0;
      front_[j * bins + b] = front_[i * bins + b] = infinity;
    }
    const std::span<const double> values(new_values_.data(), count);
    if (!std::ranges::all_of(values, [](double e) { return std::isfinite(e); })) return false;
    if (rows_needed && count > 0) add_row(i, values);
    return true;
  }

  void add_row(std::size_t i, std::span<const double> values) {
    const std::vector<double>& r = state_.row_sums;
    const double r_i = r[i];
    const auto below = std::ranges::count_if(live_, [&](Partner s) { return r[s] < r_i; });
    bin_of_[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(below) * bins / live_.size());
    const auto [lowest, highest] = std::ranges::minmax_element(values);
    if (store_.capacity() - tail_ < values.size()) compact();
    place_row(i, tail_, values, KeyScale(*lowest, *highest));
    tail_ += values.size();
  }

  /// Moves the live rows to the front of the store, in store order, without
  /// their stale entries. Rows only move down, so each move is safe in place.
  void compact() {
    order_.clear();
    for (const Partner s : live_) {
      if (segment_end_[s * bins + bins - 1] > 0) order_.push_back(s);
    }
    std::ranges::sort(order_, {}, [&](std::size_t s) { return rows_[s].base; });
    std::size_t to = 0;
    for (const std::size_t s : order_) {
      Row& row = rows_[s];
      const std::size_t base = to;
      for (std::size_t b = 0; b < bins; ++b) {
        const std::size_t begin = row.base + segment_begin_[s * bins + b];
        const std::size_t end = row.base + segment_end_[s * bins + b];
        segment_begin_[s * bins + b] = static_cast<std::uint32_t>(to - base);
        for (std::size_t p = begin; p < end; ++p) {
          if (birth_[store_.partners[p]] > birth_[s]) continue;
          store_.keys[to] = store_.keys[p];
          store_.partners[to] = store_.partners[p];
          ++to;
        }
        segment_end_[s * bins + b] = static_cast<std::uint32_t>(to - base);
      }
      row.base = base;
    }
    tail_ = to;
  }

  NJState& state_;
  StopPoller& poller_;
  std::size_t n_;
  EntryStore store_;
  std::size_t tail_ = 0;

  std::vector<Partner> live_;  // the live slots, ascending
  std::vector<Birth> birth_;
  Birth next_birth_ = 0;
  std::vector<std::uint8_t> bin_of_;
  std::array<double, bins> bin_max_{};
  std::vector<Row> rows_;
  // Per slot and bin: the segment's entries relative to the row's base, and
  // a lower bound of their distances (the front entry's decoded key).
  std::vector<std::uint32_t> segment_begin_;
  std::vector<std::uint32_t> segment_end_;
  std::vector<double> front_;
  std::vector<double> row_bounds_;  // per position in live_
  std::vector<std::size_t> cells_;  // slot * bins + bin of the segments to walk
  std::uint64_t visited_ = 0;

  RowWriter writer_;
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
