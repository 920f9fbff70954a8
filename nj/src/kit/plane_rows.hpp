// SPDX-License-Identifier: MIT
// Storage of encoded rows and the parts of an alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "distance/bit_planes.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit {

/// Words in memory mapped for them: page aligned, on huge pages where the
/// system allows, and grown by remapping, so that a growing alignment of
/// gigabytes is never copied. Not initialised beyond what was written (new
/// pages read as zero).
class PlaneBuffer {
 public:
  PlaneBuffer() = default;
  PlaneBuffer(PlaneBuffer&& other) noexcept;
  PlaneBuffer& operator=(PlaneBuffer&& other) noexcept;
  PlaneBuffer(const PlaneBuffer&) = delete;
  PlaneBuffer& operator=(const PlaneBuffer&) = delete;
  ~PlaneBuffer();

  std::uint64_t* data() noexcept { return words_; }
  const std::uint64_t* data() const noexcept { return words_; }
  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint64_t> words() const noexcept { return {words_, size_}; }

  /// Makes the buffer `words` long, keeping what it holds up to there;
  /// std::bad_alloc when the memory cannot be had.
  void resize(std::size_t words);
  /// Room for `words` without a further mapping.
  void reserve(std::size_t words);

 private:
  std::uint64_t* words_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes
};

struct Alignment::Parts {
  std::vector<std::string> identifiers;
  std::uint64_t length = 0;
  Residues residues = Residues::dna;
  MissingRule missing = MissingRule::skip;
  std::size_t row_words = 0;
  PlaneBuffer planes;  // identifiers.size() rows of row_words words
};

/// Words of one encoded row of `length` columns.
std::size_t row_words_for(Residues residues, std::uint64_t length) noexcept;

/// The bits of word `word` of a row (word w of block b is 8 b + w) that
/// stand for columns of the row.
inline std::uint64_t live_bits(std::size_t word, std::uint64_t length) noexcept {
  const std::uint64_t first = 64 * static_cast<std::uint64_t>(word);
  if (first >= length) return 0;
  const std::uint64_t left = length - first;
  return left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
}

}  // namespace nj::kit
