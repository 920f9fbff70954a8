// SPDX-License-Identifier: MIT
#include "engine/row_store.hpp"

#include <sys/mman.h>

#include <bit>
#include <cstring>

#include "distance/matrix.hpp"
#include "engine/matrix_fetch.hpp"

namespace nj::fast {

namespace {

/// The smallest of the values of `count` entries listed by index in bucket
/// order, the bucket being the key's bits in `mask`; infinity for none.
/// Every value of a bucket lies below every value of a later one, so only
/// the first bucket is read.
double lowest_of(const std::uint32_t* sorted, std::size_t count, const Key* keys,
                 const double* values, Key mask) noexcept {
  if (count == 0) return infinity;
  const Key first = keys[sorted[0]] & mask;
  double lowest = values[sorted[0]];
  for (std::size_t p = 1; p < count && (keys[sorted[p]] & mask) == first; ++p) {
    const double v = values[sorted[p]];
    lowest = v < lowest ? v : lowest;
  }
  return lowest;
}

/// Enough bits for a few entries per bucket.
unsigned bits_for(std::size_t len) noexcept {
  const auto width = static_cast<unsigned>(std::bit_width(len / bins));
  return std::clamp(width, 3u, 14u) - 2u;
}

}  // namespace

Subtrees::Subtrees(std::size_t n) : birth(n), bin_of(n) {
  for (std::size_t s = 0; s < n; ++s) {
    birth[s] = static_cast<Birth>(s);
    live.push_back(static_cast<Partner>(s));
  }
  next_birth = static_cast<Birth>(n);
}

void Subtrees::join(std::size_t i, std::size_t j) {
  birth[i] = next_birth++;
  birth[j] = never_born;
  live.erase(std::ranges::lower_bound(live, static_cast<Partner>(j)));
}

void Subtrees::assign_bins(const std::vector<double>& row_sums) {
  std::vector<std::uint32_t> order(live.begin(), live.end());
  std::ranges::stable_sort(order, {}, [&](std::uint32_t s) { return row_sums[s]; });
  std::vector<double> sorted(order.size());
  for (std::size_t rank = 0; rank < order.size(); ++rank) sorted[rank] = row_sums[order[rank]];
  rank_bins = RankBins::fitted(sorted);
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    bin_of[order[rank]] = rank_bins.bin_of_rank(rank, order.size());
  }
  last_binned = order.size();
  ++binnings;
}

Row RowWriter::order(std::span<const double> values, std::span<const Partner> partners,
                     const std::uint8_t* bin_of, const KeyScale& scale,
                     std::array<std::uint32_t, bins>& segment_ends) {
  const std::size_t len = values.size();
  const unsigned bits = bits_for(len);
  encoded_.resize(len);
  buckets_.resize(len);
  scale.encode(values.data(), partners.data(), bin_of, len, 16 - bits, encoded_.data(),
               buckets_.data());
  counts_.assign((bins << bits) + 1, 0);
  for (std::size_t p = 0; p < len; ++p) ++counts_[buckets_[p] + 1u];
  for (std::size_t b = 1; b < counts_.size(); ++b) counts_[b] += counts_[b - 1];
  for (std::size_t b = 0; b < bins; ++b) segment_ends[b] = counts_[(b + 1) << bits];
  sorted_.resize(len);
  for (std::size_t p = 0; p < len; ++p) {
    sorted_[counts_[buckets_[p]]++] = static_cast<std::uint32_t>(p);
  }
  return Row{0, scale, static_cast<Key>(0xFFFFu << (16 - bits))};
}

EntryStore::EntryStore(std::size_t capacity) : capacity_(capacity) {
  bytes_ = capacity * sizeof(Entry);
  void* memory =
      mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  entries = static_cast<Entry*>(memory);
}

EntryStore::~EntryStore() { munmap(entries, bytes_); }

void EntryStore::grow(std::size_t capacity) {
  const std::size_t bytes = capacity * sizeof(Entry);
  void* memory = mremap(entries, bytes_, bytes, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  entries = static_cast<Entry*>(memory);
  bytes_ = bytes;
  capacity_ = capacity;
}

RowStore::RowStore(std::size_t n, Subtrees& subtrees, const std::vector<double>& binning_sums,
                   const std::vector<double>& offsets,
                   const DistMat& matrix, StopPoller& poller)
    : subtrees_(subtrees),
      binning_sums_(binning_sums),
      offsets_(offsets),
      matrix_(matrix),
      poller_(poller),
      store_(capacity_for(n)),
      tail_(0),
      rows_(n),
      segment_begin_(n * bins, 0),
      segment_end_(n * bins, 0),
      front_(n * bins, infinity),
      first_partner_(n * bins, no_partner),
      after_first_(n * bins, infinity),
      lowest_(n * bins, infinity),
      left_out_(n * bins, infinity),
      gathered_partners_(n),
      gathered_values_(n) {}

// A row keeps the first sixty-fourth of each segment, in bucket order, and
// at least the first entries (all of a short segment); a row whose left-out
// entries turn out to be needed is written again keeping all of them. A
// search seldom walks more than a few entries into a segment, while writing
// rows (the new row of every join) is a good part of a run: keeping a
// quarter and then twice as many at each rewrite took a twentieth
// more time on diverse inputs, and where every distance is equal a row was
// written again twice. The store (six bytes an entry) takes a small part of
// the matrix's memory.
constexpr unsigned first_shift = 6;
constexpr std::size_t short_segment = 16;

/// How many of a segment's `len` entries a row keeps at depth `shift`.
std::size_t RowStore::kept_of(std::size_t len, unsigned shift) noexcept {
  if (len <= short_segment) return len;
  return std::max(short_segment, (len + (std::size_t{1} << shift) - 1) >> shift);
}

/// At least the entries a row of `len` keeps at depth `shift`, whatever the
/// bins of its partners: the sum of kept_of over the segments.
std::size_t RowStore::room_for(std::size_t len, unsigned shift) noexcept {
  return std::min(len, (len >> shift) + bins * (short_segment + 1));
}

// A quarter more room than the leaf rows need lets new rows go to the end
// for a while before dead rows must be squeezed out.
std::size_t RowStore::capacity_for(std::size_t n) {
  std::size_t leaves = 0;
  for (std::size_t x = 1; x < n; ++x) leaves += room_for(x, first_shift);
  return leaves + leaves / 4 + 2 * n;
}

void RowStore::add_row(std::size_t x, std::span<const double> values,
                       std::span<const Partner> partners, const KeyScale& scale) {
  place_row(x, values, partners.first(values.size()), scale, first_shift, Room::may_rebin);
}

void RowStore::add_unwritten_row(std::size_t x, std::span<const double> values,
                                 std::span<const Partner> partners, const KeyScale& scale) {
  rows_[x] = Row{0, scale, 0xFFFF, false};
  leave_unwritten(x, values, partners.first(values.size()));
}

void RowStore::add_unwritten_leaves(std::size_t x, const double* row, const double* next_row,
                                    const KeyScale& scale, const KeyScale& next_scale) {
  rows_[x] = Row{0, scale, 0xFFFF, false};
  rows_[x + 1] = Row{0, next_scale, 0xFFFF, false};
  // Two rows read side by side keep more of the matrix's lines on their way
  // at once than one row does (a fifth less time over the leaves).
  const std::uint8_t* bin_of = subtrees_.bin_of.data();
  Smallest first_row;
  Smallest second_row;
  for (std::size_t y = 0; y < x; ++y) {
    const auto partner = static_cast<Partner>(y);
    first_row.take_unbranched(bin_of[y], row[y], partner);
    second_row.take_unbranched(bin_of[y], next_row[y], partner);
  }
  second_row.take_unbranched(bin_of[x], next_row[x], static_cast<Partner>(x));
  set_unwritten(x, first_row);
  set_unwritten(x + 1, second_row);
  poller_.spend(2 * x);
}

/// Gives each segment of the unwritten row x, by the bins of its partners
/// as they are now, its smallest distance as its front, the partner of that
/// distance as its first, and the next smallest distance as the bound after
/// it (equal to the smallest where two pairs share it).
void RowStore::leave_unwritten(std::size_t x, std::span<const double> values,
                               std::span<const Partner> partners) {
  const std::uint8_t* bin_of = subtrees_.bin_of.data();
  Smallest row;
  for (std::size_t p = 0; p < values.size(); ++p) {
    row.take(bin_of[partners[p]], values[p], partners[p]);
  }
  set_unwritten(x, row);
  poller_.spend(values.size());
}

void RowStore::set_unwritten(std::size_t x, const Smallest& row) noexcept {
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t at = x * bins + b;
    segment_begin_[at] = segment_end_[at] = 0;
    lowest_[at] = left_out_[at] = front_[at] = row.smallest[b];
    first_partner_[at] = row.first[b];
    after_first_[at] = row.next[b];
  }
}

void RowStore::deepen_row(std::size_t x) {
  rewrite_row(x, rows_[x].written ? 0 : first_shift, Room::keep_bins);
}

void RowStore::retire_row(std::size_t s) {
  release(s);
  clear_segments(s);
}

/// Gives the space of slot s's row to later rows.
void RowStore::release(std::size_t s) {
  const std::size_t len = segment_end_[s * bins + bins - 1];
  if (len > 0) {
    holes_.push_back(Hole{rows_[s].base, len});
    std::ranges::push_heap(holes_, {}, &Hole::length);
  }
}

void RowStore::clear_segments(std::size_t s) noexcept {
  for (std::size_t b = 0; b < bins; ++b) {
    segment_begin_[s * bins + b] = segment_end_[s * bins + b] = 0;
    front_[s * bins + b] = left_out_[s * bins + b] = after_first_[s * bins + b] = infinity;
    first_partner_[s * bins + b] = no_partner;
  }
}

/// Writes the entries (values[p], partners[p]) into the store as the row of
/// slot x, keeping the first entries of each segment at depth `shift`.
void RowStore::place_row(std::size_t x, std::span<const double> values,
                         std::span<const Partner> partners, const KeyScale& scale,
                         unsigned shift, Room how) {
  const std::size_t room = room_for(values.size(), shift);
  const std::size_t at = how == Room::append ? append(room) : allocate(room, how);
  // The bins as they are now: making room may have put subtrees into new bins.
  std::array<std::uint32_t, bins> ends{};
  rows_[x] = writer_.order(values, partners, subtrees_.bin_of.data(), scale, ends);
  rows_[x].base = at;
  const std::uint32_t* sorted = writer_.sorted();
  const Key* keys = writer_.keys();
  const Key mask = rows_[x].floor_mask;
  std::array<std::uint32_t, bins> kept_ends{};
  std::size_t kept = 0;
  std::uint32_t begin = 0;
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t keep = kept_of(ends[b] - begin, shift);
    Entry* out = store_.entries + at + kept;
    for (std::size_t q = 0; q < keep; ++q) {
      const std::uint32_t p = sorted[begin + q];
      out[q] = Entry{keys[p], partners[p]};
    }
    const double smallest_kept = lowest_of(sorted + begin, keep, keys, values.data(), mask);
    const double smallest_left_out =
        lowest_of(sorted + begin + keep, ends[b] - begin - keep, keys, values.data(), mask);
    lowest_[x * bins + b] = std::min(smallest_kept, smallest_left_out);
    left_out_[x * bins + b] = smallest_left_out;
    kept += keep;
    kept_ends[b] = static_cast<std::uint32_t>(kept);
    begin = ends[b];
  }
  give_back(at, room, kept);
  set_segments(x, kept_ends);
}

/// Writes row x again from the matrix at depth `shift`: its live partners are
/// the live subtrees older than x. Its distances have not changed since it
/// was made, so its key scale still covers them.
void RowStore::rewrite_row(std::size_t x, unsigned shift, Room how) {
  const std::size_t count = gather_row(x);
  const KeyScale scale = rows_[x].scale;
  if (how != Room::append) release(x);
  clear_segments(x);
  place_row(x, std::span(gathered_values_).first(count),
            std::span(gathered_partners_).first(count), scale, shift, how);
}

/// Gathers the entries of row x from the matrix: its live partners are the
/// live subtrees older than x. Returns how many there are.
std::size_t RowStore::gather_row(std::size_t x) {
  const std::vector<Partner>& live = subtrees_.live;
  const std::vector<Birth>& birth = subtrees_.birth;
  const Birth own = birth[x];
  const double* d = matrix_.distances.data();
  const double* row = d + pair_index(0, x);
  const double* offsets = offsets_.data();
  Partner* __restrict partners = gathered_partners_.data();
  double* __restrict values = gathered_values_.data();
  std::size_t count = 0;
  std::size_t t = 0;
  // Below slot x the distances lie in x's own row, read in order; each is
  // written and kept only when its subtree is older. The row is seldom in
  // a cache, and the live slots skip through it too sparsely for the
  // processor's own prefetching: it is fetched far ahead (a sixth less time
  // writing rows again than without).
  const std::size_t below = static_cast<std::size_t>(
      std::ranges::lower_bound(live, static_cast<Partner>(x)) - live.begin());
  using detail::column_ahead;
  using detail::fetch_to_read;
  using detail::row_ahead;
  for (; t < below; ++t) {
    if (t + row_ahead < below) fetch_to_read(row + live[t + row_ahead]);
    const Partner y = live[t];
    partners[count] = y;
    values[count] = row[y] - offsets[y];
    count += birth[y] < own ? 1u : 0u;
  }
  // Every subtree above a leaf's slot is younger than the leaf. Above slot x
  // the distances lie in x's column, one row of the matrix apart, fetched
  // some live slots ahead of use as in the update.
  const bool leaf = own < birth.size();
  for (; !leaf && t < live.size(); ++t) {
    if (t + column_ahead < live.size()) fetch_to_read(d + pair_index(x, live[t + column_ahead]));
    const Partner y = live[t];
    if (birth[y] >= own) continue;
    partners[count] = y;
    values[count] = d[pair_index(x, y)] - offsets[y];
    ++count;
  }
  poller_.spend(4 * count);
  return count;
}

/// Sets the segments of row x from their ends and reads their fronts.
void RowStore::set_segments(std::size_t x, const std::array<std::uint32_t, bins>& ends) {
  const Row& row = rows_[x];
  std::uint32_t begin = 0;
  for (std::size_t b = 0; b < bins; ++b) {
    segment_begin_[x * bins + b] = begin;
    segment_end_[x * bins + b] = ends[b];
    set_front(x, b, row.base + begin, row.base + ends[b]);
    begin = ends[b];
  }
}

/// Gives back the end of the `room` entries at `at` that a row of `kept`
/// entries did not use.
void RowStore::give_back(std::size_t at, std::size_t room, std::size_t kept) {
  if (at + room == tail_) {
    tail_ = at + kept;
  } else if (room - kept >= smallest_hole) {
    holes_.push_back(Hole{at + kept, room - kept});
    std::ranges::push_heap(holes_, {}, &Hole::length);
  }
}

/// Where a row of `len` entries goes: into the largest space a dead row
/// left, when that is large enough, or else at the end of the store. Dropping
/// dead rows is cheap and usually makes room there; writing the rows again
/// drops their stale entries too, but puts subtrees into new bins, which a
/// search must not see. Failing both, the store grows.
std::size_t RowStore::allocate(std::size_t len, Room how) {
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
  if (store_.capacity() - tail_ < len) compact(false);
  if (store_.capacity() - tail_ < len && how == Room::may_rebin) compact(true);
  return append(len);
}

/// Room for `len` entries at the end of the store, enlarging it if need be.
std::size_t RowStore::append(std::size_t len) {
  if (store_.capacity() - tail_ < len) {
    store_.grow(std::max(tail_ + len, store_.capacity() + store_.capacity() / 4));
  }
  tail_ += len;
  return tail_ - len;
}

void RowStore::compact(bool rebin) {
  holes_.clear();
  order_.clear();
  unwritten_.clear();
  for (const Partner s : subtrees_.live) {
    if (segment_end_[s * bins + bins - 1] > 0) order_.push_back(s);
    if (!rows_[s].written) unwritten_.push_back(s);
  }
  if (rebin) {
    subtrees_.assign_bins(binning_sums_);
    tail_ = 0;
    for (const std::size_t s : order_) rewrite_row(s, first_shift, Room::append);
    // An unwritten row stays so, its smallest distances taken by the new bins.
    for (const std::size_t s : unwritten_) {
      const std::size_t count = gather_row(s);
      leave_unwritten(s, std::span(gathered_values_).first(count),
                      std::span(gathered_partners_).first(count));
    }
    return;
  }
  std::ranges::sort(order_, {}, [&](std::size_t s) { return rows_[s].base; });
  std::size_t to = 0;
  for (const std::size_t s : order_) to = move_row(s, to);
  tail_ = to;
}

/// Moves row s down to `to` as it is, stale entries and all; returns where
/// the next row goes.
std::size_t RowStore::move_row(std::size_t s, std::size_t to) {
  Row& row = rows_[s];
  const std::size_t len = segment_end_[s * bins + bins - 1];
  std::memmove(store_.entries + to, store_.entries + row.base, len * sizeof(Entry));
  row.base = to;
  poller_.spend(len / 4);
  return to + len;
}

}  // namespace nj::fast
