// SPDX-License-Identifier: MIT
#include "distance/table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "models.hpp"

namespace nj::detail {

namespace {

// Beyond this length a Kimura2P key could reach the empty marker; such rows
// are far too long for the table to matter.
constexpr std::uint64_t max_keyed_length = std::uint64_t{1} << 31;
constexpr std::uint64_t empty_key = ~std::uint64_t{0};

// What a dense slot holds is a value's bits less these: a signalling NaN,
// which arithmetic never returns (it gives quiet NaNs). Were a distance ever
// to have these bits, its slot would only look empty and be computed again,
// with the same result.
constexpr std::uint64_t empty_value = 0x7ff4'0000'0000'e3a1;

/// `count` zero words in fresh anonymous memory, backed page by page as
/// they are first written.
std::uint64_t* map_zero_words(std::size_t count) {
  void* at = ::mmap(nullptr, count * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint64_t*>(at);
}

// A slot (16 bytes) per 8 pairs keeps the table within a quarter of the
// matrix's memory; the cap (32 MiB) holds every Kimura2P count of rows of up
// to 2,000 columns. Fewer slots than the minimum would serve so few pairs
// that computing each distance costs no more.
constexpr std::size_t pairs_per_slot = 8;
constexpr std::size_t max_slots = std::size_t{1} << 21;
constexpr std::size_t min_slots = std::size_t{1} << 10;

std::uint64_t possible_counts(SubstitutionModel model, std::uint64_t length) noexcept {
  if (model == SubstitutionModel::Kimura2P) return (length + 1) * (length + 2) / 2;
  return length + 1;
}

}  // namespace

TablePlan plan_table(SubstitutionModel model, std::uint64_t length, std::size_t pairs) noexcept {
  if (length >= max_keyed_length) return {};
  const std::size_t budget = std::min(pairs / pairs_per_slot, max_slots);
  const std::uint64_t counts = possible_counts(model, length);
  if (counts <= budget) return {static_cast<std::size_t>(counts), true};
  const std::size_t slots = std::bit_floor(budget);
  if (slots < min_slots) return {};
  return {slots, false};
}

bool DistanceTable::prepare(SubstitutionModel model, std::uint64_t length, std::size_t pairs) {
  const TablePlan plan = plan_table(model, length, pairs);
  if (plan.slots == 0) return false;
  const std::uint64_t mask = plan.dense ? ~std::uint64_t{0} : plan.slots - 1;
  const std::size_t held = dense() ? value_count() : slots_.size();
  if (plan.slots != held || mask != mask_ || model != model_ || length != length_) {
    // Release before allocating the new slots.
    values_ = {nullptr, Unmap{0}};
    slots_.clear();
    slots_.shrink_to_fit();
    if (plan.dense) {
      values_ = {map_zero_words(plan.slots), Unmap{plan.slots * sizeof(std::uint64_t)}};
    } else {
      slots_.assign(plan.slots, Slot{empty_key, 0.0});
    }
    mask_ = mask;
    model_ = model;
    length_ = length;
    by_transitions_ = model == SubstitutionModel::Kimura2P;
#if defined(__x86_64__)
    gather_ = plan.dense && __builtin_cpu_supports("avx512f");
#endif
  }
  return true;
}

void DistanceTable::look_up(std::span<const PairCounts> counts, double* out) {
  if (dense()) {
    look_up_dense(counts, out);
  } else {
    look_up_shared(counts, out);
  }
}

void DistanceTable::look_up_dense(std::span<const PairCounts> counts, double* out) {
  std::size_t k = 0;
#if defined(__x86_64__)
  if (by_transitions_ && gather_) k = look_up_by_transitions_avx512(counts, out);
#endif
  std::uint64_t* const values = values_.get();
  const bool by_transitions = by_transitions_;
  for (; k < counts.size(); ++k) {
    std::uint64_t& slot = values[key_of(counts[k], by_transitions)];
    if (slot == 0) [[unlikely]] slot = std::bit_cast<std::uint64_t>(compute(counts[k])) ^ empty_value;
    out[k] = std::bit_cast<double>(slot ^ empty_value);
  }
}

#if defined(__x86_64__)
// Eight Kimura2P lookups at once: the keys made in vector lanes (a dense
// table's keys and counts fit 32 bits), the slots gathered. A group with an
// empty slot is left to the scalar loop from there on, which fills it.
__attribute__((target("avx512f"))) std::size_t DistanceTable::look_up_by_transitions_avx512(
    std::span<const PairCounts> counts, double* out) const {
  static_assert(sizeof(PairCounts) == 2 * sizeof(std::uint64_t));
  const auto* words = reinterpret_cast<const long long*>(counts.data());
  const long long* const values = reinterpret_cast<const long long*>(values_.get());
  const __m512i evens = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odds = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  const __m512i marker = _mm512_set1_epi64(static_cast<long long>(empty_value));
  // (The masked forms, from zero: GCC 12's plain ones warn of the undefined
  // vectors they start from.)
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi64(1);
  const __mmask8 all = 0xFF;
  std::size_t k = 0;
  for (; k + 8 <= counts.size(); k += 8) {
    const __m512i first = _mm512_loadu_si512(words + 2 * k);
    const __m512i second = _mm512_loadu_si512(words + 2 * k + 8);
    const __m512i d = _mm512_permutex2var_epi64(first, evens, second);
    const __m512i t = _mm512_permutex2var_epi64(first, odds, second);
    const __m512i d_d1 = _mm512_mask_mul_epu32(zero, all, d, _mm512_add_epi64(d, one));
    const __m512i key = _mm512_add_epi64(_mm512_mask_srli_epi64(zero, all, d_d1, 1), t);
    const __m512i slots = _mm512_mask_i64gather_epi64(zero, all, key, values, 8);
    if (_mm512_test_epi64_mask(slots, slots) != 0xFF) break;
    _mm512_storeu_si512(out + k, _mm512_xor_si512(slots, marker));
  }
  return k;
}
#endif

void DistanceTable::Unmap::operator()(std::uint64_t* words) const noexcept {
  ::munmap(words, bytes);
}

void DistanceTable::look_up_shared(std::span<const PairCounts> counts, double* out) {
  // Locals, so that the stores to `out` and to the slots leave them in registers.
  Slot* const slots = slots_.data();
  const std::uint64_t mask = mask_;
  const bool by_transitions = by_transitions_;
  for (std::size_t k = 0; k < counts.size(); ++k) {
    const std::uint64_t key = key_of(counts[k], by_transitions);
    Slot& slot = slots[key & mask];
    if (slot.key != key) [[unlikely]] slot = {key, compute(counts[k])};
    out[k] = slot.value;
  }
}

// The models other than Kimura2P read only the difference count and the
// length, which is why their keys hold nothing else.
double DistanceTable::compute(const PairCounts& counts) const {
  SiteCounts sites{counts.differences, 0, 0, length_};
  if (by_transitions_) {
    sites.transitions = counts.transitions;
    sites.transversions = counts.differences - counts.transitions;
  }
  return distance_from_counts(model_, sites);
}

}  // namespace nj::detail
