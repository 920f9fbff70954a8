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

#include "engine/join_step.hpp"
#include "engine/neighbor_joining.hpp"
#include "engine/scan.hpp"
#include "engine/state.hpp"
#include "nj/error.hpp"
#include "simd.hpp"

namespace nj {

namespace {

using Key = std::uint16_t;
using Partner = std::uint32_t;
/// A slot's birth orders its subtree among all subtrees: leaf s is born s,
/// the inner node of step t is born n + t, and a retired slot is born never.
using Birth = std::uint32_t;
constexpr Birth never_born = std::numeric_limits<Birth>::max();
constexpr double infinity = std::numeric_limits<double>::infinity();

/// One pair in a row: the other slot and the distance's key, six bytes
/// without padding so that a segment's first entries share a cache line.
struct __attribute__((packed)) Entry {
  Key key;
  Partner partner;
};
static_assert(sizeof(Entry) == 6);

/// Subtrees are put into bins by the rank of their row sum at birth; a bound
/// over a segment then needs only the largest row sum in its bin.
constexpr std::size_t bins = 8;

using detail::Lanes;

/// Maps the distances of one row to 16-bit keys, monotonically, so that the
/// key of a distance decodes to a value no greater than that distance. The
/// step is a power of two and the offset an integer number of steps, so
/// decode(k) = (offset + k) * step is exact, and the key of v is the largest
/// k (within the key range) with decode(k) <= v.
class KeyScale {
 public:
  KeyScale() = default;

  /// A scale whose keys spread over the finite range [lowest, highest].
  KeyScale(double lowest, double highest) {
    const double largest = std::max(std::fabs(lowest), std::fabs(highest));
    // The finest step that still covers the range with the keys, yet keeps
    // every value below 2^40 steps and every step a normal number.
    const double wanted = std::max(highest / key_count - lowest / key_count,
                                   std::ldexp(largest, -40));
    const double usable = std::max(wanted, std::numeric_limits<double>::min());
    const int exponent =
        std::max(std::ilogb(usable) + 1, std::numeric_limits<double>::min_exponent - 1);
    step_ = std::ldexp(1.0, exponent);
    inverse_ = std::ldexp(1.0, -exponent);
    offset_ = std::floor(lowest * inverse_);
  }

  double decode(Key key) const noexcept { return (offset_ + static_cast<double>(key)) * step_; }

  /// Keys of `count` values, and their buckets (bucket_of) with the bins
  /// `value_bins`; the values must lie in the scale's range.
  void encode(const double* values, const std::uint8_t* value_bins, std::size_t count,
              unsigned shift, Key* keys, std::uint16_t* buckets) const noexcept;

 private:
  static constexpr double key_count = 65536.0;
  double step_ = 1.0;
  double inverse_ = 1.0;
  double offset_ = 0.0;
};

// v * inverse - offset is off from the exact quotient by far less than one
// (every value lies below 2^40 steps), so its truncation is the key or one
// above it; the exact decode tells which.
inline Key encode_one(double v, double step, double inverse, double offset) noexcept {
  double k = v * inverse - offset;
  k = k < 65535.0 ? k : 65535.0;
  k = k > 0.0 ? k : 0.0;
  auto key = static_cast<std::int32_t>(k);
  if ((offset + static_cast<double>(key)) * step > v) --key;
  return static_cast<Key>(key);
}

/// The bucket of an entry: its bin, then the top bits of its key.
inline std::uint16_t bucket_of(std::uint32_t bin, Key key, unsigned shift) noexcept {
  return static_cast<std::uint16_t>(((bin << 16) | key) >> shift);
}

/// encode_keys, and the bucket of each value with the bin `value_bins[p]`.
NJ_TARGET_CLONES_AVX2 void encode_buckets(
    const double* values, const std::uint8_t* value_bins, std::size_t count, double step,
    double inverse, double offset, unsigned shift, Key* keys, std::uint16_t* buckets) {
  using Ints = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
  using Shorts = std::uint16_t __attribute__((vector_size(4 * sizeof(std::uint16_t))));
  const Lanes top = {65535.0, 65535.0, 65535.0, 65535.0};
  const Lanes zero = {};
  std::size_t p = 0;
  for (; p + 4 <= count; p += 4) {
    Lanes v;
    std::memcpy(&v, values + p, sizeof v);
    Lanes k = v * inverse - offset;
    k = k < top ? k : top;
    k = k > zero ? k : zero;
    const Lanes whole = __builtin_convertvector(__builtin_convertvector(k, Ints), Lanes);
    const Lanes decoded = (offset + whole) * step;
    const Lanes key = v < decoded ? whole - 1.0 : whole;
    const Ints integral = __builtin_convertvector(key, Ints);
    const Ints bin = {value_bins[p], value_bins[p + 1], value_bins[p + 2], value_bins[p + 3]};
    const Ints bucket = ((bin << 16) | integral) >> static_cast<int>(shift);
    const Shorts key_out = __builtin_convertvector(integral, Shorts);
    const Shorts bucket_out = __builtin_convertvector(bucket, Shorts);
    std::memcpy(keys + p, &key_out, sizeof key_out);
    std::memcpy(buckets + p, &bucket_out, sizeof bucket_out);
  }
  for (; p < count; ++p) {
    keys[p] = encode_one(values[p], step, inverse, offset);
    buckets[p] = bucket_of(value_bins[p], keys[p], shift);
  }
}

/// The smallest and the largest of `count` values, in four lanes at once.
/// Between zeros of both signs either may come out, which a key scale
/// does not mind.
NJ_TARGET_CLONES_AVX2 void value_range(const double* values, std::size_t count, double* lowest,
                              double* highest) {
  Lanes low = {infinity, infinity, infinity, infinity};
  Lanes high = -low;
  std::size_t p = 0;
  for (; p + 4 <= count; p += 4) {
    Lanes v;
    std::memcpy(&v, values + p, sizeof v);
    low = v < low ? v : low;
    high = v > high ? v : high;
  }
  double lo = infinity;
  double hi = -infinity;
  for (std::size_t lane = 0; lane < 4; ++lane) {
    lo = low[lane] < lo ? low[lane] : lo;
    hi = high[lane] > hi ? high[lane] : hi;
  }
  for (; p < count; ++p) {
    lo = values[p] < lo ? values[p] : lo;
    hi = values[p] > hi ? values[p] : hi;
  }
  *lowest = lo;
  *highest = hi;
}

void KeyScale::encode(const double* values, const std::uint8_t* value_bins, std::size_t count,
                      unsigned shift, Key* keys, std::uint16_t* buckets) const noexcept {
  encode_buckets(values, value_bins, count, step_, inverse_, offset_, shift, keys, buckets);
}

/// Doubles in whole cache lines, so that each slot's eight fronts are one.
class LineAlignedDoubles {
 public:
  LineAlignedDoubles(std::size_t count, double value)
      : memory_(new (std::align_val_t{64}) double[count]) {
    std::fill_n(memory_.get(), count, value);
  }
  double* data() noexcept { return memory_.get(); }
  const double* data() const noexcept { return memory_.get(); }
  double& operator[](std::size_t k) noexcept { return memory_[k]; }
  double operator[](std::size_t k) const noexcept { return memory_[k]; }

 private:
  struct Free {
    void operator()(double* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
  };
  std::unique_ptr<double[], Free> memory_;
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
  /// Encodes and orders the entries (values[p], partners[p]), whose
  /// partners are in the bins `value_bins[p]`, into `out`; returns the row
  /// without its base and sets where each bin's segment ends.
  Row write(std::span<const double> values, std::span<const Partner> partners,
            const std::uint8_t* value_bins, const KeyScale& scale, Entry* out,
            std::array<std::uint32_t, bins>& segment_ends) {
    const std::size_t len = values.size();
    const unsigned bits = bits_for(len);
    encoded_.resize(len);
    buckets_.resize(len);
    scale.encode(values.data(), value_bins, len, 16 - bits, encoded_.data(), buckets_.data());
    order(encoded_, partners, bits, out, segment_ends);
    return Row{0, scale, static_cast<Key>(0xFFFFu << (16 - bits))};
  }

  /// Orders a row's entries again after the bins changed, at the row's
  /// bucket width. The output must not overlap the input.
  void regroup(std::span<const Key> keys, std::span<const Partner> partners,
               const std::uint8_t* bin_of, const Row& row, Entry* out,
               std::array<std::uint32_t, bins>& segment_ends) {
    const auto bits = static_cast<unsigned>(16 - std::countr_zero(row.floor_mask));
    buckets_.resize(keys.size());
    for (std::size_t p = 0; p < keys.size(); ++p) {
      buckets_[p] = bucket_of(bin_of[partners[p]], keys[p], 16 - bits);
    }
    order(keys, partners, bits, out, segment_ends);
  }

 private:
  /// Enough bits for a few entries per bucket.
  static unsigned bits_for(std::size_t len) noexcept {
    const auto width = static_cast<unsigned>(std::bit_width(len / bins));
    return std::clamp(width, 3u, 14u) - 2u;
  }

  /// Orders the entries by their buckets (buckets_).
  void order(std::span<const Key> keys, std::span<const Partner> partners, unsigned bits,
             Entry* out, std::array<std::uint32_t, bins>& segment_ends) {
    const std::size_t len = partners.size();
    counts_.assign((bins << bits) + 1, 0);
    for (std::size_t p = 0; p < len; ++p) ++counts_[buckets_[p] + 1u];
    for (std::size_t b = 1; b < counts_.size(); ++b) counts_[b] += counts_[b - 1];
    for (std::size_t b = 0; b < bins; ++b) segment_ends[b] = counts_[(b + 1) << bits];
    // Scattering into a buffer that stays in cache, then copying the whole
    // row out in order, spares the store scattered writes to cold memory.
    ordered_.resize(len);
    for (std::size_t p = 0; p < len; ++p) {
      const std::uint32_t at = counts_[buckets_[p]]++;
      ordered_[at] = Entry{keys[p], partners[p]};
    }
    std::memcpy(out, ordered_.data(), len * sizeof(Entry));
  }

  std::vector<std::uint32_t> counts_;
  std::vector<Key> encoded_;
  std::vector<std::uint16_t> buckets_;
  std::vector<Entry> ordered_;
};

/// Anonymous memory for the entries, asked for in huge pages where the
/// system grants them: the search reads it at scattered places.
class EntryStore {
 public:
  explicit EntryStore(std::size_t capacity) : capacity_(capacity) {
    bytes_ = capacity * sizeof(Entry);
    void* memory =
        mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    (void)madvise(memory, bytes_, MADV_HUGEPAGE);
    entries = static_cast<Entry*>(memory);
  }
  EntryStore(const EntryStore&) = delete;
  EntryStore& operator=(const EntryStore&) = delete;
  ~EntryStore() { munmap(entries, bytes_); }

  std::size_t capacity() const noexcept { return capacity_; }

  Entry* entries = nullptr;

 private:
  std::size_t capacity_;
  std::size_t bytes_ = 0;
};

/// The chosen pair so far: slots i > j and the exact Q of the pair. Before
/// the first offer i and j lie above every slot and q is infinite, so that
/// every pair comes before it.
struct Choice {
  std::size_t i = std::numeric_limits<std::size_t>::max();
  std::size_t j = std::numeric_limits<std::size_t>::max();
  double q = infinity;

  bool found() const noexcept { return i != std::numeric_limits<std::size_t>::max(); }

  /// Takes (i, j) if it comes first under the plain scan's rule when no Q is
  /// NaN: the smallest Q wins, and equal values go to the pair the plain scan
  /// visits first, the smallest i and then the smallest j.
  void offer(std::size_t hi, std::size_t lo, double value) noexcept {
    if (precedes(value, hi, lo)) {
      i = hi;
      j = lo;
      q = value;
    }
  }

  /// Whether a pair (hi, lo) whose Q is at least `bound` can still come
  /// first.
  bool precedes(double bound, std::size_t hi, std::size_t lo) const noexcept {
    return bound < q || (bound == q && (hi < i || (hi == i && lo < j)));
  }

  /// Whether some pair whose Q is at least `bound` and whose higher slot is
  /// at least `hi_at_least` can still come first.
  bool may_precede(double bound, std::size_t hi_at_least) const noexcept {
    return bound < q || (bound == q && hi_at_least <= i);
  }
};

// The exactness argument. While every live distance and row sum is finite,
// no Q is NaN, so the plain scan picks the pair of smallest Q and, among
// equal values, the pair it visits first; Choice::offer applies that rule to
// every pair it is shown, in any order. Rounding to nearest is monotone:
// a <= a' gives fl(a * c) <= fl(a' * c) for c > 0, fl(a - b) <= fl(a' - b)
// and fl(b - a') <= fl(b - a), overflow to infinity included.
//
// Every live pair is an entry of exactly one row, that of its younger
// member, in the segment of the older member's bin; entries whose partner
// died or was replaced since are stale and skipped. Take a live entry of
// row x, with partner y, distance d and key k, in the segment of bin b, and
// any v <= d: the entry's decoded key, the floor of its bucket or of any
// bucket before it in the segment, or the segment's front (the floor of an
// entry at or before the first live one). With c = m - 2, t = fl(c v), and
// R_b the largest live row sum in bin b, so that r_y <= R_b:
//   Q = fl(fl(fl(c d) - r_hi) - r_lo) >= fl(fl(t - r_hi) - r_lo)      (1)
// where hi and lo are the larger and smaller of x and y, and
//   (1) >= min(fl(fl(t - r_x) - R_b), fl(fl(t - R_b) - r_x))          (2)
// (the first form holds when x is the higher slot, the second otherwise).
// Both bounds only grow with v, and bucket floors only grow along a
// segment, so (2) at one entry's floor bounds every later entry of the
// segment too. None of these is NaN: t is finite or infinite, and the row
// sums, R_b and the lowest finite value standing in for the R_b of an empty
// bin are finite. A pair is passed over only when one of its bounds is
// strictly greater than the Q of a pair already evaluated exactly, or equal
// to it while the pair comes later in the plain scan's order (its higher
// slot lies above that pair's higher slot, as every pair of row x does when
// x does): its own Q is then larger than the smallest Q, or it ties a pair
// visited before it, so it is not the pair the plain scan chooses. The
// chosen pair only moves to a smaller Q, or to an equal Q visited earlier,
// so a pair passed over against an earlier choice stays passed over. Every
// other live pair has its Q computed exactly as the plain scan does and is
// offered.
inline double segment_bound(double t, double r_x, double r_bin) noexcept {
  const double as_higher = (t - r_x) - r_bin;
  const double as_lower = (t - r_bin) - r_x;
  return as_higher < as_lower ? as_higher : as_lower;
}

static_assert(bins == 8, "a row's fronts fill two vectors");

/// Bound (2) at the fronts of the eight segments of a row, as two vectors.
/// (Vectors are never passed by value: that would depend on the target.)
/// Made by a factory, not a constructor: clang omits the body of a
/// constructor of a local type called only from target_clones functions.
struct RowLanes {
  Lanes low;
  Lanes high;

  static RowLanes of(const double* front, double r_x, const Lanes (&r_bin)[2],
                     double c) noexcept {
    RowLanes lanes;
    Lanes f0;
    Lanes f1;
    std::memcpy(&f0, front, sizeof f0);
    std::memcpy(&f1, front + 4, sizeof f1);
    const Lanes t0 = c * f0;
    const Lanes t1 = c * f1;
    const Lanes low_higher = (t0 - r_x) - r_bin[0];
    const Lanes low_lower = (t0 - r_bin[0]) - r_x;
    const Lanes high_higher = (t1 - r_x) - r_bin[1];
    const Lanes high_lower = (t1 - r_bin[1]) - r_x;
    lanes.low = low_higher < low_lower ? low_higher : low_lower;
    lanes.high = high_higher < high_lower ? high_higher : high_lower;
    return lanes;
  }

  double lowest() const noexcept {
    const Lanes m = low < high ? low : high;
    const Lanes m_swapped = __builtin_shufflevector(m, m, 2, 3, 0, 1);
    const Lanes m2 = m < m_swapped ? m : m_swapped;
    const Lanes m2_swapped = __builtin_shufflevector(m2, m2, 1, 0, 3, 2);
    const Lanes m3 = m2 < m2_swapped ? m2 : m2_swapped;
    return m3[0];
  }
};

/// A live row with segments to walk: bit b of `segments` is set when
/// segment b may hold a pair coming before the choice.
struct RowToWalk {
  Partner slot;
  std::uint32_t segments;
};

/// The rows that may hold a pair coming before a choice, with the smallest
/// bound among them. No default member values: clang omits the constructor
/// of a local type called only from target_clones functions (see RowLanes).
struct Selection {
  std::size_t rows;
  std::size_t lowest_slot;
  double lowest;
};

/// Appends to `out` every row of `live[0..count)` with a segment whose bound
/// (2) at its front is below `best`, or equal to it when `ties_count`.
template <bool ties_count>
inline void select_range(const double* front, const Partner* live, std::size_t count,
                         const double* r, const Lanes (&r_bin)[2], double c, double best,
                         RowToWalk* out, Selection& selection) {
  const auto below = [best](double bound) {
    return ties_count ? bound <= best : bound < best;
  };
  for (std::size_t at = 0; at < count; ++at) {
    const std::size_t x = live[at];
    const RowLanes bound = RowLanes::of(front + x * bins, r[x], r_bin, c);
    const double lowest = bound.lowest();
    if (!below(lowest)) continue;
    std::uint32_t segments = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      segments |= static_cast<std::uint32_t>(below(bound.low[b])) << b;
      segments |= static_cast<std::uint32_t>(below(bound.high[b])) << (b + 4);
    }
    out[selection.rows++] = RowToWalk{static_cast<Partner>(x), segments};
    if (lowest < selection.lowest) {
      selection.lowest = lowest;
      selection.lowest_slot = x;
    }
  }
}

/// Selects the segments of the live rows `live[0..count)` that may hold a
/// pair coming before the choice (Q `best`, higher slot `best_i`): whose
/// bound (2) at the front is below `best`, or equal to it in a row
/// x <= best_i. `out` needs room for every row.
NJ_TARGET_CLONES_AVX2 Selection select_segments(const double* front, const Partner* live,
                                       std::size_t count, const double* r,
                                       const double* bin_max, double c, double best,
                                       std::size_t best_i, RowToWalk* out) {
  Lanes r_bin[2];
  std::memcpy(&r_bin[0], bin_max, sizeof r_bin[0]);
  std::memcpy(&r_bin[1], bin_max + 4, sizeof r_bin[1]);
  // The live slots ascend, so the rows where ties count come first.
  const std::size_t ties_end =
      static_cast<std::size_t>(std::upper_bound(live, live + count, best_i) - live);
  Selection selection{0, 0, infinity};
  select_range<true>(front, live, ties_end, r, r_bin, c, best, out, selection);
  select_range<false>(front, live + ties_end, count - ties_end, r, r_bin, c, best, out,
                      selection);
  return selection;
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
        to_walk_(new RowToWalk[n_]),
        new_partners_(n_),
        new_bins_(n_),
        new_values_(n_),
        moved_keys_(n_),
        moved_partners_(n_) {
    for (std::size_t s = 0; s < n_; ++s) {
      birth_[s] = static_cast<Birth>(s);
      live_.push_back(static_cast<Partner>(s));
    }
    next_birth_ = static_cast<Birth>(n_);
    newest_ = n_;
    lowest_slot_ = n_;
    assign_bins();
    last_binned_ = n_;
    build_leaf_rows();
  }

  /// Joins until two slots remain; false when a value turned out not finite
  /// and the plain engine must take over from the current state.
  bool join_all() {
    for (std::uint64_t live = state_.active.count(); live > 2; --live) {
      const auto m = static_cast<double>(live);
      if (!measure_bins()) return false;
      if (live_.size() * 2 < last_binned_) {
        compact(true);
        measure_bins();
      }
      Choice best;
      search(m, best);
      if (!best.found()) return false;
      if (!join(best.i, best.j, m, live > 3)) return false;
      // A step costs some tens of nanoseconds per live slot, ten or more of
      // the poller's units.
      poller_.spend(16 * live + visited_);
      visited_ = 0;
    }
    return true;
  }

 private:
  // A quarter more room than the leaves need lets new rows go to the end
  // for a while before dead rows must be squeezed out, and keeps the store
  // (six bytes an entry) below the size of the matrix itself.
  static std::size_t store_capacity(std::size_t n) {
    const std::size_t total = pair_count(n);
    return std::max(total + total / 4, total + 2 * n);
  }

  /// Bins by the rank of the current row sum among the live subtrees.
  void assign_bins() {
    std::vector<std::uint32_t> order(live_.begin(), live_.end());
    const std::vector<double>& r = state_.row_sums;
    std::ranges::stable_sort(order, {}, [&](std::uint32_t s) { return r[s]; });
    for (std::size_t rank = 0; rank < order.size(); ++rank) {
      bin_of_[order[rank]] = static_cast<std::uint8_t>(rank * bins / order.size());
    }
  }

  void build_leaf_rows() {
    const double* d = state_.matrix.distances.data();
    for (std::size_t y = 0; y < n_; ++y) new_partners_[y] = static_cast<Partner>(y);
    for (std::size_t x = 1; x < n_; ++x) {
      const std::span<const double> row(d + pair_index(0, x), x);
      double lowest = 0.0;
      double highest = 0.0;
      value_range(row.data(), row.size(), &lowest, &highest);
      place_row(x, pair_index(0, x), row, bin_of_.data(), KeyScale(lowest, highest));
      poller_.spend(4 * x);
    }
    tail_ = pair_index(0, n_);
  }

  /// Writes the entries (values[p], new_partners_[p]), whose partners are
  /// in the bins value_bins[p], into the store at `at` as the row of slot x.
  void place_row(std::size_t x, std::size_t at, std::span<const double> values,
                 const std::uint8_t* value_bins, const KeyScale& scale) {
    std::array<std::uint32_t, bins> ends{};
    rows_[x] = writer_.write(values, std::span(new_partners_).first(values.size()),
                             value_bins, scale, store_.entries + at, ends);
    rows_[x].base = at;
    set_segments(x, ends);
  }

  /// Sets the segments of row x from their ends and reads their fronts.
  void set_segments(std::size_t x, const std::array<std::uint32_t, bins>& ends) {
    const Row& row = rows_[x];
    std::uint32_t begin = 0;
    for (std::size_t b = 0; b < bins; ++b) {
      segment_begin_[x * bins + b] = begin;
      segment_end_[x * bins + b] = ends[b];
      const bool empty = begin == ends[b];
      front_[x * bins + b] = empty ? infinity : row.floor(store_.entries[row.base + begin].key);
      begin = ends[b];
    }
  }

  /// The largest live row sum of each bin; false when a row sum is not
  /// finite. A bin without live members gets the lowest finite value, not
  /// -infinity: its segments hold only stale entries, and a bound such as
  /// (-inf) - (-inf) would be NaN.
  bool measure_bins() {
    const std::vector<double>& r = state_.row_sums;
    bin_max_.fill(std::numeric_limits<double>::lowest());
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

  void search(double m, Choice& best) {
    const double c = m - 2.0;
    offer_kept(c, best);
    offer_newest(c, best);
    // The row of smallest bound changes little from one step to the next:
    // with its pair offered too, the choice is usually final before the
    // rows are looked at.
    if (lowest_slot_ < n_ && birth_[lowest_slot_] != never_born) seed(lowest_slot_, c, best);
    const Selection selection =
        select_segments(front_.data(), live_.data(), live_.size(), state_.row_sums.data(),
                        bin_max_.data(), c, best.q, best.i, to_walk_.get());
    if (selection.rows == 0) return;
    lowest_slot_ = selection.lowest_slot;
    seed(lowest_slot_, c, best);
    // The segments lie scattered in the store: fetch well ahead of use.
    constexpr std::size_t ahead = 24;
    for (std::size_t k = 0; k < std::min(ahead, selection.rows); ++k) fetch_segments(k);
    for (std::size_t k = 0; k < selection.rows; ++k) {
      if (k + ahead < selection.rows) fetch_segments(k + ahead);
      const std::size_t x = to_walk_[k].slot;
      const double r_x = state_.row_sums[x];
      for (std::uint32_t segments = to_walk_[k].segments; segments != 0;
           segments &= segments - 1) {
        const auto b = static_cast<std::size_t>(std::countr_zero(segments));
        if (best.may_precede(segment_bound(c * front_[x * bins + b], r_x, bin_max_[b]), x)) {
          walk(x, b, c, best);
        }
      }
    }
  }

  void fetch_segments(std::size_t k) const noexcept {
    const std::size_t x = to_walk_[k].slot;
    for (std::uint32_t segments = to_walk_[k].segments; segments != 0; segments &= segments - 1) {
      const auto b = static_cast<std::size_t>(std::countr_zero(segments));
      __builtin_prefetch(store_.entries + rows_[x].base + segment_begin_[x * bins + b]);
    }
  }

  /// Offers the first live entry of the segment of row x with the smallest
  /// bound: an exactly evaluated pair whose Q lets the search pass over
  /// most segments at once.
  void seed(std::size_t x, double c, Choice& best) {
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
    if (chosen_bound == infinity) return;
    const std::size_t p = drop_stale_front(x, chosen);
    if (p == rows_[x].base + segment_end_[x * bins + chosen]) return;
    const std::size_t y = store_.entries[p].partner;
    best.offer(std::max(x, y), std::min(x, y), exact_q(std::max(x, y), std::min(x, y), c));
  }

  /// Skips the stale entries at the front of a segment for good, refreshes
  /// its front value and returns the store position of its first entry.
  std::size_t drop_stale_front(std::size_t x, std::size_t b) noexcept {
    const Row& row = rows_[x];
    const Birth own = birth_[x];
    std::size_t p = row.base + segment_begin_[x * bins + b];
    const std::size_t end = row.base + segment_end_[x * bins + b];
    while (p < end && birth_[store_.entries[p].partner] > own) ++p;
    segment_begin_[x * bins + b] = static_cast<std::uint32_t>(p - row.base);
    front_[x * bins + b] = p < end ? row.floor(store_.entries[p].key) : infinity;
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
      const Key key = store_.entries[p].key;
      if (!best.may_precede(segment_bound(c * row.floor(key), r_x, r_bin), x)) break;
      const std::size_t y = store_.entries[p].partner;
      if (birth_[y] > own) continue;
      const std::size_t hi = std::max(x, y);
      const std::size_t lo = std::min(x, y);
      const double t = c * row.scale.decode(key);
      if (!best.precedes((t - r[hi]) - r[lo], hi, lo)) continue;
      const double q = exact_q(hi, lo, c);
      best.offer(hi, lo, q);
      keep(hi, lo, q);
    }
    visited_ += p - first + 1;
  }

  /// Remembers the pairs of smallest Q met in this search: after a join,
  /// those not involving the joined slots are good first candidates again.
  void keep(std::size_t hi, std::size_t lo, double q) noexcept {
    Kept candidate{static_cast<Partner>(hi), static_cast<Partner>(lo), birth_[hi], birth_[lo], q};
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
    const Row& row = rows_[x];
    const std::vector<double>& r = state_.row_sums;
    std::size_t chosen = n_;
    double chosen_bound = infinity;
    for (std::size_t b = 0; b < bins; ++b) {
      const std::size_t p = row.base + segment_begin_[x * bins + b];
      if (p >= row.base + segment_end_[x * bins + b]) continue;
      const std::size_t y = store_.entries[p].partner;
      const double t = c * row.scale.decode(store_.entries[p].key);
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
    for (Kept& slot : kept_) {
      const bool same = birth_[slot.hi] == slot.birth_hi && birth_[slot.lo] == slot.birth_lo;
      if (slot.q != infinity && same) {
        best.offer(slot.hi, slot.lo, exact_q(slot.hi, slot.lo, c));
      }
      slot = Kept{};
    }
  }

  /// Joins i > j with the shared arithmetic and gives slot i its new row;
  /// false when a new distance is not finite.
  bool join(std::size_t i, std::size_t j, double m, bool rows_needed) {
    std::size_t count = 0;
    double lowest = infinity;
    double highest = -infinity;
    bool finite = true;
    detail::join_slots(state_, i, j, m, live_, [&](std::size_t k, double e) {
      new_partners_[count] = static_cast<Partner>(k);
      new_bins_[count] = bin_of_[k];
      new_values_[count] = e;
      ++count;
      lowest = e < lowest ? e : lowest;
      highest = e > highest ? e : highest;
      finite = finite && std::isfinite(e);
    });
    release_row(i);
    release_row(j);
    birth_[i] = next_birth_++;
    birth_[j] = never_born;
    live_.erase(std::ranges::lower_bound(live_, static_cast<Partner>(j)));
    for (std::size_t b = 0; b < bins; ++b) {
      segment_begin_[i * bins + b] = segment_end_[i * bins + b] = 0;
      segment_begin_[j * bins + b] = segment_end_[j * bins + b] = 0;
      front_[j * bins + b] = front_[i * bins + b] = infinity;
    }
    if (!finite) return false;
    newest_ = n_;
    if (rows_needed && count > 0) {
      add_row(i, std::span<const double>(new_values_.data(), count), KeyScale(lowest, highest));
      newest_ = i;
    }
    return true;
  }

  void add_row(std::size_t i, std::span<const double> values, const KeyScale& scale) {
    // The bin of the new subtree's row-sum rank, as the bins were made.
    const std::vector<double>& r = state_.row_sums;
    const double r_i = r[i];
    std::size_t below = 0;
    for (const Partner s : live_) below += r[s] < r_i ? 1u : 0u;
    bin_of_[i] = static_cast<std::uint8_t>(below * bins / live_.size());
    place_row(i, allocate(values.size()), values, new_bins_.data(), scale);
  }

  /// Gives the store space of slot s's row to later rows.
  void release_row(std::size_t s) {
    const std::size_t len = segment_end_[s * bins + bins - 1];
    if (len == 0) return;
    holes_.push_back(Hole{rows_[s].base, len});
    std::ranges::push_heap(holes_, {}, &Hole::length);
  }

  /// Where a row of `len` entries goes: into the largest space a dead row
  /// left, when that is large enough, or else at the end of the store.
  std::size_t allocate(std::size_t len) {
    if (!holes_.empty() && holes_.front().length >= len) {
      std::ranges::pop_heap(holes_, {}, &Hole::length);
      const Hole hole = holes_.back();
      holes_.pop_back();
      if (hole.length - len >= smallest_hole) {
        holes_.push_back(Hole{hole.base + len, hole.length - len});
        std::ranges::push_heap(holes_, {}, &Hole::length);
      }
      return hole.base;
    }
    make_room(len);
    tail_ += len;
    return tail_ - len;
  }

  /// Makes room for `len` entries at the end of the store. Dropping dead
  /// rows is cheap and usually enough; stale entries can always go, since the
  /// live pairs alone never fill the store.
  void make_room(std::size_t len) {
    if (store_.capacity() - tail_ >= len) return;
    compact(false);
    if (store_.capacity() - tail_ >= len) return;
    compact(true);
    if (store_.capacity() - tail_ < len) internal_failure("the entry store holds every live pair");
  }

  /// Moves the live rows to the front of the store, in store order, and
  /// drops the dead ones. With `rebin`, first puts every live subtree into
  /// the bin of its current row-sum rank, and each row is then ordered anew
  /// by the new bins without its stale entries. Rows only move down, so each
  /// move is safe in place.
  void compact(bool rebin) {
    holes_.clear();
    if (rebin) {
      assign_bins();
      last_binned_ = live_.size();
    }
    order_.clear();
    for (const Partner s : live_) {
      if (segment_end_[s * bins + bins - 1] > 0) order_.push_back(s);
    }
    std::ranges::sort(order_, {}, [&](std::size_t s) { return rows_[s].base; });
    std::size_t to = 0;
    for (const std::size_t s : order_) to = rebin ? regroup_row(s, to) : move_row(s, to);
    tail_ = to;
  }

  /// Moves row s down to `to` as it is, stale entries and all; returns where
  /// the next row goes.
  std::size_t move_row(std::size_t s, std::size_t to) {
    Row& row = rows_[s];
    const std::size_t len = segment_end_[s * bins + bins - 1];
    std::memmove(store_.entries + to, store_.entries + row.base, len * sizeof(Entry));
    row.base = to;
    poller_.spend(len / 4);
    return to + len;
  }

  /// Writes row s at `to`, ordered by the current bins, without its stale
  /// entries; returns where the next row goes.
  std::size_t regroup_row(std::size_t s, std::size_t to) {
    Row& row = rows_[s];
    std::size_t kept = 0;
    for (std::size_t b = 0; b < bins; ++b) {
      const std::size_t end = row.base + segment_end_[s * bins + b];
      for (std::size_t p = row.base + segment_begin_[s * bins + b]; p < end; ++p) {
        const Entry entry = store_.entries[p];
        if (birth_[entry.partner] > birth_[s]) continue;
        moved_keys_[kept] = entry.key;
        moved_partners_[kept] = entry.partner;
        ++kept;
      }
    }
    row.base = to;
    poller_.spend(2 * kept);
    std::array<std::uint32_t, bins> ends{};
    writer_.regroup(std::span(moved_keys_).first(kept), std::span(moved_partners_).first(kept),
                    bin_of_.data(), row, store_.entries + to, ends);
    set_segments(s, ends);
    return to + kept;
  }

  NJState& state_;
  StopPoller& poller_;
  std::size_t n_;
  EntryStore store_;
  std::size_t tail_ = 0;
  // Space in the store that dead rows left, largest first; spaces too small
  // to be worth keeping are forgotten until the next compaction.
  struct Hole {
    std::size_t base;
    std::size_t length;
  };
  static constexpr std::size_t smallest_hole = 64;
  std::vector<Hole> holes_;

  std::vector<Partner> live_;  // the live slots, ascending
  std::vector<Birth> birth_;
  Birth next_birth_ = 0;
  std::vector<std::uint8_t> bin_of_;
  std::size_t last_binned_ = 0;  // live subtrees when the bins were last assigned
  std::array<double, bins> bin_max_{};
  std::vector<Row> rows_;
  // Per slot and bin: the segment's entries relative to the row's base, and
  // a lower bound of their distances (the front entry's decoded key).
  std::vector<std::uint32_t> segment_begin_;
  std::vector<std::uint32_t> segment_end_;
  LineAlignedDoubles front_;
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

  RowWriter writer_;
  std::vector<Partner> new_partners_;
  std::vector<std::uint8_t> new_bins_;  // the bins of new_partners_
  std::vector<double> new_values_;
  // A row being moved during a compaction that puts subtrees in new bins.
  std::vector<Key> moved_keys_;
  std::vector<Partner> moved_partners_;
  std::vector<std::size_t> order_;
};

// Slots and births must fit the 32-bit partner and birth fields. A row sum
// is finite only when every distance in it is, so this admits exactly the
// matrices without infinity or NaN (and without overflowing sums); the
// others, and runs where a value turns out not finite on the way, are
// finished by scanning every pair.
TreeResult join_fast(NJState& state, StopPoller& poller) {
  const std::size_t n = state.matrix.size();
  const bool finite =
      std::ranges::all_of(state.row_sums, [](double s) { return std::isfinite(s); });
  if (finite && n < (std::size_t{1} << 31)) {
    FastEngine engine(state, poller);
    if (engine.join_all()) return final_join(state);
  }
  return finish_scanning(state, poller);
}

}  // namespace

TreeResult neighbor_joining(DistMat matrix, const StopCheck& should_stop) {
  return build_tree(std::move(matrix), should_stop, join_fast);
}

}  // namespace nj
