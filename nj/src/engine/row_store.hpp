// SPDX-License-Identifier: MIT
// The rows of the fast engine. Each live pair belongs to the row of the
// younger of its two subtrees; a row is cut into one segment per row-sum bin
// of the other subtree, each ordered by bucket of distance. A row keeps only
// the first entries of each segment (a sixty-fourth, and all of a short
// one) and the smallest distance of those it leaves out; a search that needs
// more has the row written again from the matrix, keeping all. A row
// may also start unwritten, keeping none but each segment's smallest
// distance: about half the rows of the leaves are never searched before
// they die or the bins are made again. The
// rows share one store, where a new row takes the space a dead row left
// when one is large enough, and the live rows are squeezed together when
// the end of the store is reached.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "distance/matrix.hpp"
#include "engine/binning.hpp"
#include "engine/keys.hpp"
#include "nj/stop.hpp"

namespace nj::fast {

using Partner = std::uint32_t;
/// The partner of no entry.
inline constexpr Partner no_partner = std::numeric_limits<Partner>::max();
/// A slot's birth orders its subtree among all subtrees: leaf s is born s,
/// the inner node of step t is born n + t, and a retired slot is born never.
using Birth = std::uint32_t;
inline constexpr Birth never_born = std::numeric_limits<Birth>::max();

/// One pair in a row: the other slot and the distance's key, six bytes
/// without padding so that a segment's first entries share a cache line.
struct __attribute__((packed)) Entry {
  Key key;
  Partner partner;
};
static_assert(sizeof(Entry) == 6);

/// The subtrees of a run: which slots are live, when each slot's subtree was
/// born, and the bin of each. An entry of row x whose partner y was born
/// after x (birth[y] > birth[x]) is stale: y died, or a newer subtree took
/// its slot, since the entry was written.
struct Subtrees {
  /// The n leaves, each born at its slot and live.
  explicit Subtrees(std::size_t n);

  /// Slot i holds the subtree just made, born now; slot j is retired.
  void join(std::size_t i, std::size_t j);

  /// Bins by the rank of the current row sum among the live subtrees, in
  /// ranges of rank fitted to the row sums (see binning.hpp). Subtrees are
  /// put into bins by the rank of their row sum at birth; a bound over a
  /// segment then needs only the largest row sum in its bin.
  void assign_bins(const std::vector<double>& row_sums);

  std::vector<Partner> live;  // the live slots, ascending
  std::vector<Birth> birth;
  Birth next_birth = 0;
  std::vector<std::uint8_t> bin_of;
  RankBins rank_bins;
  std::size_t last_binned = 0;  // live subtrees when the bins were last assigned
  std::uint64_t binnings = 0;   // how many times the bins were assigned
};

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
  /// Whether the row's entries are in the store.
  bool written = true;

  /// A lower bound of the distances of this entry and of every entry after
  /// it in its segment: the smallest value of its bucket.
  double floor(Key key) const noexcept { return scale.decode(static_cast<Key>(key & floor_mask)); }
};

/// Orders rows: entries by bin and then by the top bits of their key, in
/// one counting pass. Within one bucket the entries keep no order, so a
/// bound taken at an entry must use its bucket's floor (Row::floor) to hold
/// for the entries after it.
class RowWriter {
 public:
  /// Encodes and orders the entries (values[p], partners[p]), whose
  /// partners are in the bins `bin_of[partners[p]]`: sorted() then lists
  /// their indices p by bin and bucket, keys() holds their keys by index,
  /// and `segment_ends` says where each bin's segment ends. Returns the row
  /// without its base. Only indices are moved while ordering: a row keeps
  /// few of its entries, which are then gathered by index, and the buffers
  /// stay in cache.
  Row order(std::span<const double> values, std::span<const Partner> partners,
            const std::uint8_t* bin_of, const KeyScale& scale,
            std::array<std::uint32_t, bins>& segment_ends);

  const std::uint32_t* sorted() const noexcept { return sorted_.data(); }
  const Key* keys() const noexcept { return encoded_.data(); }

 private:
  std::vector<std::uint32_t> counts_;
  std::vector<Key> encoded_;
  std::vector<std::uint16_t> buckets_;
  std::vector<std::uint32_t> sorted_;
};

/// Anonymous memory for the entries. It is not asked for in huge pages:
/// where the system compacts memory for such requests on first touch, or a
/// virtual machine backs fresh huge pages slowly, that costs seconds of
/// kernel time at large n, more than the fewer TLB misses of the search save.
class EntryStore {
 public:
  explicit EntryStore(std::size_t capacity);
  EntryStore(const EntryStore&) = delete;
  EntryStore& operator=(const EntryStore&) = delete;
  ~EntryStore();

  std::size_t capacity() const noexcept { return capacity_; }

  /// Enlarges the store, keeping its entries (they may move).
  void grow(std::size_t capacity);

  Entry* entries = nullptr;

 private:
  std::size_t capacity_;
  std::size_t bytes_ = 0;
};

/// The rows of the live subtrees of a run over n leaves, with their segments:
/// per slot and bin, where the kept entries lie relative to the row's base,
/// the smallest distance of the segment when the row was written and of the
/// entries it left out (infinity when it keeps all), and its front, a lower
/// bound of the distances of its live pairs, kept or left out (infinity when
/// it has none). Beside the front lie the partner of its first kept entry and
/// a lower bound of the distances after that entry, so that a search can
/// often pass over the segment without reading the store.
class RowStore {
 public:
  /// An empty store with room for the rows of the n leaves and more.
  /// `subtrees`, the sums that bin the subtrees (`binning_sums`), the
  /// partners' offsets and the matrix are read when rows are written again
  /// (an entry's value is its distance less its partner's offset); moving
  /// rows spends the poller's units.
  RowStore(std::size_t n, Subtrees& subtrees, const std::vector<double>& binning_sums,
           const std::vector<double>& offsets, const DistMat& matrix, StopPoller& poller);

  /// Writes the entries (values[p], partners[p]) as the new row of slot x,
  /// its partners in their current bins. A new row may put subtrees into
  /// new bins when the store is full (see compact).
  void add_row(std::size_t x, std::span<const double> values, std::span<const Partner> partners,
               const KeyScale& scale);

  /// Makes the row of slot x from the entries (values[p], partners[p])
  /// without writing them: each segment keeps only its smallest distance, as
  /// the smallest one it leaves out, so that a search that needs the row
  /// has it written from the matrix first.
  void add_unwritten_row(std::size_t x, std::span<const double> values,
                         std::span<const Partner> partners, const KeyScale& scale);

  /// add_unwritten_row for the leaves x and x + 1 from their rows of the
  /// matrix (their partners the slots below them), read side by side.
  void add_unwritten_leaves(std::size_t x, const double* row, const double* next_row,
                            const KeyScale& scale, const KeyScale& next_scale);

  /// Writes row x from the matrix, without changing any bin, for a search
  /// that needs the entries the row left out: an unwritten row keeps the
  /// first entries of each segment, a written one all of them.
  void deepen_row(std::size_t x);

  /// Gives the space of slot s's row to later rows and empties its segments.
  void retire_row(std::size_t s);

  /// Moves the live rows to the front of the store, in store order, and
  /// drops the dead ones; rows only move down, so each move is safe in
  /// place. With `rebin`, instead puts every live subtree into the bin of
  /// its current row-sum rank and writes every live row again from the
  /// matrix, by the new bins and without stale entries.
  void compact(bool rebin);

  const Entry* entries() const noexcept { return store_.entries; }
  const Row& row(std::size_t x) const noexcept { return rows_[x]; }
  /// Store positions of the first entry of segment b of row x, and past its last.
  std::size_t segment_first(std::size_t x, std::size_t b) const noexcept {
    return rows_[x].base + segment_begin_[x * bins + b];
  }
  std::size_t segment_last(std::size_t x, std::size_t b) const noexcept {
    return rows_[x].base + segment_end_[x * bins + b];
  }
  /// Asks for the fields of row x that a walk reads before its entries.
  void fetch_row(std::size_t x) const noexcept {
    __builtin_prefetch(&rows_[x]);
    __builtin_prefetch(&segment_begin_[x * bins]);
    __builtin_prefetch(&segment_end_[x * bins]);
    __builtin_prefetch(&lowest_[x * bins]);
    __builtin_prefetch(&left_out_[x * bins]);
    __builtin_prefetch(&first_partner_[x * bins]);
    __builtin_prefetch(&after_first_[x * bins]);
  }
  /// The fronts of all rows, eight per slot in one cache line.
  const double* fronts() const noexcept { return front_.data(); }
  double front(std::size_t x, std::size_t b) const noexcept { return front_[x * bins + b]; }
  /// The partner of the first kept entry of segment b of row x as of its
  /// front (it may have died since), or no_partner.
  Partner first_partner(std::size_t x, std::size_t b) const noexcept {
    return first_partner_[x * bins + b];
  }
  /// A lower bound of the distances of the live pairs of segment b of row x
  /// after its first kept entry, kept or left out.
  double after_first(std::size_t x, std::size_t b) const noexcept {
    return after_first_[x * bins + b];
  }
  /// The smallest distance of segment b of row x when the row was written.
  double lowest(std::size_t x, std::size_t b) const noexcept { return lowest_[x * bins + b]; }
  /// The smallest distance of the entries segment b of row x left out, or
  /// infinity.
  double left_out(std::size_t x, std::size_t b) const noexcept { return left_out_[x * bins + b]; }

  /// A lower bound of the distances of the kept entry with this key in
  /// segment b of row x and of every kept entry after it: the larger of its
  /// bucket's floor and the segment's smallest distance. Where many
  /// distances are equal, the floors lie below all of them and could not
  /// tell an exact tie from a smaller Q; the smallest distance can.
  double floor_at(std::size_t x, std::size_t b, Key key) const noexcept {
    const double floor = rows_[x].floor(key);
    const double smallest = lowest_[x * bins + b];
    return smallest > floor ? smallest : floor;
  }

  /// Skips the stale entries at the front of a segment for good, refreshes
  /// its front value and returns the store position of its first entry.
  std::size_t drop_stale_front(std::size_t x, std::size_t b) noexcept {
    const Row& row = rows_[x];
    // An unwritten row has no entries, and its front stays as it was made.
    if (!row.written) return row.base;
    const Birth own = subtrees_.birth[x];
    std::size_t p = row.base + segment_begin_[x * bins + b];
    const std::size_t end = row.base + segment_end_[x * bins + b];
    while (p < end && subtrees_.birth[store_.entries[p].partner] > own) ++p;
    segment_begin_[x * bins + b] = static_cast<std::uint32_t>(p - row.base);
    set_front(x, b, p, end);
    return p;
  }

 private:
  /// How a row finds room in the store: with leave to put subtrees into
  /// new bins, without it (during a search), or at the end of the store
  /// while every row is being written again.
  enum class Room { may_rebin, keep_bins, append };

  static std::size_t kept_of(std::size_t len, unsigned shift) noexcept;
  static std::size_t room_for(std::size_t len, unsigned shift) noexcept;
  static std::size_t capacity_for(std::size_t n);
  double front_of(std::size_t x, std::size_t b, Key key) const noexcept {
    const double kept = floor_at(x, b, key);
    return left_out(x, b) < kept ? left_out(x, b) : kept;
  }
  /// The front of segment b of row x, whose first kept entry is at store
  /// position p (none when p is its end); the floors only grow along a
  /// segment, so the next entry's bounds every later one.
  void set_front(std::size_t x, std::size_t b, std::size_t p, std::size_t end) noexcept {
    const std::size_t at = x * bins + b;
    if (p == end) {
      front_[at] = after_first_[at] = left_out_[at];
      first_partner_[at] = no_partner;
      return;
    }
    front_[at] = front_of(x, b, store_.entries[p].key);
    first_partner_[at] = store_.entries[p].partner;
    after_first_[at] = p + 1 < end ? front_of(x, b, store_.entries[p + 1].key) : left_out_[at];
  }
  void place_row(std::size_t x, std::span<const double> values, std::span<const Partner> partners,
                 const KeyScale& scale, unsigned shift, Room how);
  void rewrite_row(std::size_t x, unsigned shift, Room how);
  std::size_t gather_row(std::size_t x);
  /// The two smallest distances of each segment of a row, and the partner
  /// of the smallest (the first of equal ones).
  struct Smallest {
    std::array<double, bins> smallest;
    std::array<double, bins> next;
    std::array<Partner, bins> first;

    Smallest() noexcept {
      smallest.fill(infinity);
      next.fill(infinity);
      first.fill(no_partner);
    }
    /// Takes a distance; the branch on whether it is among its segment's
    /// two smallest is seldom taken.
    void take(std::size_t b, double v, Partner partner) noexcept {
      if (v < next[b]) {
        if (v < smallest[b]) {
          next[b] = smallest[b];
          smallest[b] = v;
          first[b] = partner;
        } else {
          next[b] = v;
        }
      }
    }
    /// The same without a branch, for distances that often vary: a branch
    /// that is seldom taken is still mispredicted often enough there to
    /// hold up the stream of the matrix's lines (a sixth more time over a
    /// diverse matrix's leaves), though where most distances are equal it
    /// is the faster.
    void take_unbranched(std::size_t b, double v, Partner partner) noexcept {
      const double s = smallest[b];
      const double n = next[b];
      const bool below_smallest = v < s;
      const bool below_next = v < n;
      next[b] = below_smallest ? s : (below_next ? v : n);
      smallest[b] = below_smallest ? v : s;
      first[b] = below_smallest ? partner : first[b];
    }
  };

  void leave_unwritten(std::size_t x, std::span<const double> values,
                       std::span<const Partner> partners);
  void set_unwritten(std::size_t x, const Smallest& row) noexcept;
  void set_segments(std::size_t x, const std::array<std::uint32_t, bins>& ends);
  void clear_segments(std::size_t x) noexcept;
  void release(std::size_t s);
  void give_back(std::size_t at, std::size_t room, std::size_t kept);
  std::size_t allocate(std::size_t len, Room how);
  std::size_t append(std::size_t len);
  std::size_t move_row(std::size_t s, std::size_t to);

  Subtrees& subtrees_;
  const std::vector<double>& binning_sums_;
  const std::vector<double>& offsets_;
  const DistMat& matrix_;
  StopPoller& poller_;
  EntryStore store_;
  std::size_t tail_;  // where the space at the end of the store begins
  // Space in the store that dead rows left, largest first; spaces too small
  // to be worth keeping are forgotten until the next compaction.
  struct Hole {
    std::size_t base;
    std::size_t length;
  };
  static constexpr std::size_t smallest_hole = 64;
  std::vector<Hole> holes_;

  std::vector<Row> rows_;
  std::vector<std::uint32_t> segment_begin_;
  std::vector<std::uint32_t> segment_end_;
  LineAlignedDoubles front_;
  std::vector<Partner> first_partner_;
  std::vector<double> after_first_;
  std::vector<double> lowest_;
  std::vector<double> left_out_;

  RowWriter writer_;
  // A row being written again from the matrix.
  std::vector<Partner> gathered_partners_;
  std::vector<double> gathered_values_;
  std::vector<std::size_t> order_;  // the live rows during a compaction
  std::vector<std::size_t> unwritten_;  // the live rows left unwritten, then
};

}  // namespace nj::fast
