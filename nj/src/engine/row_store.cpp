// SPDX-License-Identifier: MIT
#include "engine/row_store.hpp"

#include <sys/mman.h>

#include <bit>
#include <cstring>

#include "distance/matrix.hpp"
#include "nj/error.hpp"

namespace nj::fast {

namespace {

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
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    bin_of[order[rank]] = static_cast<std::uint8_t>(rank * bins / order.size());
  }
}

Row RowWriter::write(std::span<const double> values, std::span<const Partner> partners,
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

void RowWriter::regroup(std::span<const Key> keys, std::span<const Partner> partners,
                        const std::uint8_t* bin_of, const Row& row, Entry* out,
                        std::array<std::uint32_t, bins>& segment_ends) {
  const auto bits = static_cast<unsigned>(16 - std::countr_zero(row.floor_mask));
  buckets_.resize(keys.size());
  for (std::size_t p = 0; p < keys.size(); ++p) {
    buckets_[p] = bucket_of(bin_of[partners[p]], keys[p], 16 - bits);
  }
  order(keys, partners, bits, out, segment_ends);
}

void RowWriter::order(std::span<const Key> keys, std::span<const Partner> partners,
                      unsigned bits, Entry* out,
                      std::array<std::uint32_t, bins>& segment_ends) {
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

EntryStore::EntryStore(std::size_t capacity) : capacity_(capacity) {
  bytes_ = capacity * sizeof(Entry);
  void* memory =
      mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  entries = static_cast<Entry*>(memory);
}

EntryStore::~EntryStore() { munmap(entries, bytes_); }

RowStore::RowStore(std::size_t n, Subtrees& subtrees, const std::vector<double>& row_sums,
                   StopPoller& poller)
    : subtrees_(subtrees),
      row_sums_(row_sums),
      poller_(poller),
      store_(capacity_for(n)),
      tail_(pair_count(n)),
      rows_(n),
      segment_begin_(n * bins, 0),
      segment_end_(n * bins, 0),
      front_(n * bins, infinity),
      moved_keys_(n),
      moved_partners_(n) {}

// A quarter more room than the leaves need lets new rows go to the end
// for a while before dead rows must be squeezed out, and keeps the store
// (six bytes an entry) below the size of the matrix itself.
std::size_t RowStore::capacity_for(std::size_t n) {
  const std::size_t total = pair_count(n);
  return std::max(total + total / 4, total + 2 * n);
}

void RowStore::place_leaf_row(std::size_t x, std::span<const double> values,
                              std::span<const Partner> partners, const std::uint8_t* value_bins,
                              const KeyScale& scale) {
  place_row(x, pair_index(0, x), values, partners, value_bins, scale);
}

void RowStore::add_row(std::size_t x, std::span<const double> values,
                       std::span<const Partner> partners, const std::uint8_t* value_bins,
                       const KeyScale& scale) {
  place_row(x, allocate(values.size()), values, partners, value_bins, scale);
}

void RowStore::retire_row(std::size_t s) {
  const std::size_t len = segment_end_[s * bins + bins - 1];
  if (len > 0) {
    holes_.push_back(Hole{rows_[s].base, len});
    std::ranges::push_heap(holes_, {}, &Hole::length);
  }
  for (std::size_t b = 0; b < bins; ++b) {
    segment_begin_[s * bins + b] = segment_end_[s * bins + b] = 0;
    front_[s * bins + b] = infinity;
  }
}

/// Writes the entries into the store at `at` as the row of slot x.
void RowStore::place_row(std::size_t x, std::size_t at, std::span<const double> values,
                         std::span<const Partner> partners, const std::uint8_t* value_bins,
                         const KeyScale& scale) {
  std::array<std::uint32_t, bins> ends{};
  rows_[x] = writer_.write(values, partners.first(values.size()), value_bins, scale,
                           store_.entries + at, ends);
  rows_[x].base = at;
  set_segments(x, ends);
}

/// Sets the segments of row x from their ends and reads their fronts.
void RowStore::set_segments(std::size_t x, const std::array<std::uint32_t, bins>& ends) {
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

/// Where a row of `len` entries goes: into the largest space a dead row
/// left, when that is large enough, or else at the end of the store.
std::size_t RowStore::allocate(std::size_t len) {
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
void RowStore::make_room(std::size_t len) {
  if (store_.capacity() - tail_ >= len) return;
  compact(false);
  if (store_.capacity() - tail_ >= len) return;
  compact(true);
  if (store_.capacity() - tail_ < len) internal_failure("the entry store holds every live pair");
}

void RowStore::compact(bool rebin) {
  holes_.clear();
  if (rebin) {
    subtrees_.assign_bins(row_sums_);
    subtrees_.last_binned = subtrees_.live.size();
  }
  order_.clear();
  for (const Partner s : subtrees_.live) {
    if (segment_end_[s * bins + bins - 1] > 0) order_.push_back(s);
  }
  std::ranges::sort(order_, {}, [&](std::size_t s) { return rows_[s].base; });
  std::size_t to = 0;
  for (const std::size_t s : order_) to = rebin ? regroup_row(s, to) : move_row(s, to);
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

/// Writes row s at `to`, ordered by the current bins, without its stale
/// entries; returns where the next row goes.
std::size_t RowStore::regroup_row(std::size_t s, std::size_t to) {
  Row& row = rows_[s];
  std::size_t kept = 0;
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t end = row.base + segment_end_[s * bins + b];
    for (std::size_t p = row.base + segment_begin_[s * bins + b]; p < end; ++p) {
      const Entry entry = store_.entries[p];
      if (subtrees_.birth[entry.partner] > subtrees_.birth[s]) continue;
      moved_keys_[kept] = entry.key;
      moved_partners_[kept] = entry.partner;
      ++kept;
    }
  }
  row.base = to;
  poller_.spend(2 * kept);
  std::array<std::uint32_t, bins> ends{};
  writer_.regroup(std::span(moved_keys_).first(kept), std::span(moved_partners_).first(kept),
                  subtrees_.bin_of.data(), row, store_.entries + to, ends);
  set_segments(s, ends);
  return to + kept;
}

}  // namespace nj::fast
