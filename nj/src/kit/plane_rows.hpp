// SPDX-License-Identifier: MIT
// Storage of encoded rows and the parts of an alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "../bit_planes.hpp"
#include "nj/toolkit.hpp"

namespace nj::kit {

/// Words aligned to 64 bytes, so that a block's plane is one cache line;
/// grown by doubling, never initialised (the encoders write every word).
class PlaneBuffer {
 public:
  PlaneBuffer() = default;

  std::uint64_t* data() noexcept { return words_.get(); }
  const std::uint64_t* data() const noexcept { return words_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint64_t> words() const noexcept { return {words_.get(), size_}; }

  /// Makes the buffer `words` long, keeping what it holds up to there.
  void resize(std::size_t words);

 private:
  struct Release {
    void operator()(std::uint64_t* p) const noexcept {
      ::operator delete[](p, std::align_val_t{64});
    }
  };
  std::unique_ptr<std::uint64_t[], Release> words_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
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
