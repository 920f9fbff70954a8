// SPDX-License-Identifier: MIT
#include "kit/plane_rows.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "alphabet.hpp"
#include "nj/error.hpp"

namespace nj::kit {

PlaneBuffer::PlaneBuffer(PlaneBuffer&& other) noexcept
    : words_(std::exchange(other.words_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

PlaneBuffer& PlaneBuffer::operator=(PlaneBuffer&& other) noexcept {
  if (this != &other) {
    PlaneBuffer old(std::move(*this));
    words_ = std::exchange(other.words_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

PlaneBuffer::~PlaneBuffer() {
  if (words_ != nullptr) ::munmap(words_, mapped_);
}

void PlaneBuffer::reserve(std::size_t words) {
  constexpr std::size_t huge_page = std::size_t{1} << 21;
  if (words > (~std::size_t{0} - huge_page) / sizeof(std::uint64_t)) throw std::bad_alloc();
  const std::size_t wanted = words * sizeof(std::uint64_t);
  const std::size_t page = wanted < huge_page ? 4096 : huge_page;
  const std::size_t bytes = (wanted + page - 1) / page * page;
  if (bytes <= mapped_) return;
  void* at = words_ == nullptr
                 ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                 : ::mremap(words_, mapped_, bytes, MREMAP_MAYMOVE);
  if (at == MAP_FAILED) throw std::bad_alloc();
  (void)::madvise(at, bytes, MADV_HUGEPAGE);  // a refusal changes only the speed
  words_ = static_cast<std::uint64_t*>(at);
  mapped_ = bytes;
}

void PlaneBuffer::resize(std::size_t words) {
  if (words * sizeof(std::uint64_t) > mapped_) {
    reserve(std::max(words, 2 * mapped_ / sizeof(std::uint64_t)));
  }
  size_ = words;
}

std::size_t row_words_for(Residues residues, std::uint64_t length) noexcept {
  if (residues == Residues::dna) return detail::PlaneShape<DNA>(length).row_words();
  return detail::PlaneShape<Protein>(length).row_words();
}

Alignment::Alignment() : parts_(std::make_unique<Parts>()) {}
Alignment::Alignment(Parts parts) : parts_(std::make_unique<Parts>(std::move(parts))) {}
Alignment::Alignment(Alignment&&) noexcept = default;
Alignment& Alignment::operator=(Alignment&&) noexcept = default;
Alignment::~Alignment() = default;

const std::vector<std::string>& Alignment::identifiers() const noexcept {
  return parts_->identifiers;
}
std::size_t Alignment::size() const noexcept { return parts_->identifiers.size(); }
std::uint64_t Alignment::length() const noexcept { return parts_->length; }
Residues Alignment::residues() const noexcept { return parts_->residues; }
MissingRule Alignment::missing() const noexcept { return parts_->missing; }
std::span<const std::uint64_t> Alignment::planes() const noexcept { return parts_->planes.words(); }
std::size_t Alignment::row_words() const noexcept { return parts_->row_words; }

namespace {

// Whether every bit that stands for no column is clear.
bool padding_clear(const std::uint64_t* row, std::size_t row_words, std::size_t planes,
                   std::uint64_t length) noexcept {
  for (std::size_t at = 0; at < row_words; ++at) {
    const std::size_t word = at / (planes * detail::block_words) * detail::block_words +
                             at % detail::block_words;
    if ((row[at] & ~live_bits(word, length)) != 0) return false;
  }
  return true;
}

}  // namespace

std::expected<Alignment, std::string> Alignment::from_planes(std::vector<std::string> identifiers,
                                                             std::uint64_t length,
                                                             Residues residues, MissingRule missing,
                                                             std::span<const std::byte> bytes) {
  const std::size_t row_words = row_words_for(residues, length);
  const std::size_t n = identifiers.size();
  if (n == 0) return std::unexpected(std::string("no sequences"));
  constexpr std::size_t word = sizeof(std::uint64_t);
  if (bytes.size() % (n * word) != 0 || bytes.size() / (n * word) != row_words) {
    return std::unexpected(fill("{} bytes of encoded rows do not fit {} sequences of {} columns",
                                bytes.size(), n, length));
  }
  Parts parts{std::move(identifiers), length, residues, missing, row_words, {}};
  parts.planes.resize(bytes.size() / word);
  if (!bytes.empty()) std::memcpy(parts.planes.data(), bytes.data(), bytes.size());
  const std::uint64_t* planes = parts.planes.data();
  const std::size_t plane_count = residues == Residues::dna ? detail::Planes<DNA>::count
                                                            : detail::Planes<Protein>::count;
  for (std::size_t r = 0; r < n; ++r) {
    if (!padding_clear(planes + r * row_words, row_words, plane_count, length)) {
      return std::unexpected(fill("encoded row {} has bits beyond its {} columns", r, length));
    }
  }
  return Alignment(std::move(parts));
}

}  // namespace nj::kit
