// SPDX-License-Identifier: MIT
#include "kit/row_encoding.hpp"

#include <bit>
#include <cstring>
#include <string_view>

#include "alphabet.hpp"
#include "distance/bit_planes.hpp"
#include "distance/kernels.hpp"
#include "kit/plane_rows.hpp"

#include "simd.hpp"

#if NJ_X86_64
#include <immintrin.h>
#endif

namespace nj::kit {

namespace {

using Word = std::uint64_t;
using DnaPlanes = detail::Planes<DNA>;
using ProteinPlanes = detail::Planes<Protein>;
constexpr std::size_t block_words = detail::block_words;

constexpr std::string_view amino_acids = "ARNDCQEGHILKMFPSTWYV";

std::uint8_t upper(std::uint8_t byte) noexcept {
  return byte >= 'a' && byte <= 'z' ? static_cast<std::uint8_t>(byte - ('a' - 'A')) : byte;
}

// Skip rule: residues in either case; everything else is missing, written
// as the gap so that it is never compared.
std::uint8_t skip_dna(std::uint8_t byte) noexcept {
  switch (upper(byte)) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': case 'U': return 3;
    default: return DNA::gap;
  }
}

std::uint8_t skip_protein(std::uint8_t byte) noexcept {
  const std::size_t at = amino_acids.find(static_cast<char>(upper(byte)));
  return at == std::string_view::npos ? Protein::gap : static_cast<std::uint8_t>(at);
}

// The open codes: while every byte so far may be DNA, a row keeps in four
// bits what either alphabet makes of it. Codes 0-3 are A C G T in the DNA
// planes' own bits, so that turning the open form into DNA is a few word
// operations (open_to_dna).
//
// Literal rule: A C G T, a c g t (DNA residues; protein knows no lower
// case), N (a protein residue), the gap, and U n u (unknown to both).
constexpr std::uint8_t literal_gap = 9;
constexpr std::uint8_t literal_unknown = 10;
constexpr std::array<std::uint8_t, 16> literal_open_protein = {
    0, 4, 7, 16, Protein::unknown, Protein::unknown, Protein::unknown, Protein::unknown,
    2, Protein::gap, Protein::unknown, Protein::unknown, Protein::unknown, Protein::unknown,
    Protein::unknown, Protein::unknown};

std::uint8_t literal_open(std::uint8_t byte) noexcept {
  constexpr std::string_view order = "ACGTacgtN";
  if (byte == '-') return literal_gap;
  if (byte == 'U' || byte == 'n' || byte == 'u') return literal_unknown;
  const std::size_t at = order.find(static_cast<char>(byte));
  if (at != std::string_view::npos) return static_cast<std::uint8_t>(at);
  return protein_only | Protein::code(byte);
}

// Skip rule: A C G T, then U (a DNA residue, T, that protein lacks) as 7,
// the ten other IUPAC letters (protein residues, missing for DNA) and one
// code for what both skip (B, gaps, '?').
constexpr std::string_view skip_open_order = "ACGTRYKUMSWDHVN";
constexpr std::uint8_t skip_missing = 15;

std::uint8_t skip_open(std::uint8_t byte) noexcept {
  const std::uint8_t letter = upper(byte);
  const std::size_t at = skip_open_order.find(static_cast<char>(letter));
  if (at != std::string_view::npos) return static_cast<std::uint8_t>(at);
  switch (letter) {
    case 'B': case '-': case '.': case '?': case '~': return skip_missing;
    default: return protein_only | skip_protein(byte);
  }
}

std::uint8_t code_of(MissingRule rule, Encoding encoding, std::uint8_t byte) noexcept {
  const bool skip = rule == MissingRule::skip;
  switch (encoding) {
    case Encoding::dna: return skip ? skip_dna(byte) : DNA::code(byte);
    case Encoding::protein: return skip ? skip_protein(byte) : Protein::code(byte);
    case Encoding::open: return skip ? skip_open(byte) : literal_open(byte);
  }
  return 0;
}

bool is_white_space(std::uint8_t byte) noexcept {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

struct Form {
  unsigned raw_bits;  // bits of a code
  unsigned planes;    // planes of a block
};

constexpr Form form_of(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::dna: return {3, DnaPlanes::count};
    case Encoding::protein: return {ProteinPlanes::bits, ProteinPlanes::count};
    case Encoding::open: return {4, DnaPlanes::count};
  }
  return {0, 0};
}

// Bit q of the 64 codes at `codes` into raw[q], code k to bit k.
using PackFn = void (*)(const std::uint8_t* codes, unsigned bits, Word* raw) noexcept;

void pack_portable(const std::uint8_t* codes, unsigned bits, Word* raw) noexcept {
  for (unsigned q = 0; q < bits; ++q) {
    Word word = 0;
    for (unsigned k = 0; k < 64; ++k) word |= static_cast<Word>((codes[k] >> q) & 1u) << k;
    raw[q] = word;
  }
}

#if NJ_X86_64
// Shifting bit q of every byte to its top bit lets one instruction collect
// it from 32 bytes; the 16-bit shift cannot carry a neighbour's bit there.
NJ_TARGET_AVX2 void pack_avx2(const std::uint8_t* codes, unsigned bits,
                                               Word* raw) noexcept {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + 32));
  for (unsigned q = 0; q < bits; ++q) {
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(7 - q));
    const auto first = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_sll_epi16(low, shift)));
    const auto second =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_sll_epi16(high, shift)));
    raw[q] = first | (static_cast<Word>(second) << 32);
  }
}
#endif

PackFn pack_function(detail::SimdLevel level) noexcept {
#if NJ_X86_64
  if (level >= detail::SimdLevel::Avx2) return &pack_avx2;
#endif
  (void)level;
  return &pack_portable;
}

// Writes the planes of one 64-column word; `slot` is the word in the
// block's first plane.
void write_word(Encoding encoding, const Word* raw, Word live, Word* slot) noexcept {
  const auto plane = [slot](std::size_t p) -> Word& { return slot[p * block_words]; };
  switch (encoding) {
    case Encoding::dna:
      plane(DnaPlanes::low) = raw[0];
      plane(DnaPlanes::high) = raw[1];
      plane(DnaPlanes::known) = ~raw[2] & live;
      plane(DnaPlanes::present) = ~(raw[2] & raw[0]) & live;
      break;
    case Encoding::protein:
      for (std::size_t q = 0; q < ProteinPlanes::bits; ++q) plane(q) = raw[q];
      plane(ProteinPlanes::present) = ~(raw[4] & raw[2] & raw[0]) & live;
      break;
    case Encoding::open:
      for (std::size_t q = 0; q < 4; ++q) plane(q) = raw[q];
      break;
  }
}

// Byte k of the result is bit k of `bits` (k < 8), as 0 or 1.
Word spread(Word bits) noexcept {
  constexpr Word ones = 0x0101010101010101;
  const Word kept = (bits * ones) & 0x8040201008040201;
  return ((kept + 0x7F7F7F7F7F7F7F7F) >> 7) & ones;
}

// The codes of the eight columns of byte `at` of a word, one per byte.
Word eight_codes(Encoding encoding, const Word* slot, unsigned at) noexcept {
  const auto bits = [&](std::size_t p) { return spread((slot[p * block_words] >> (8 * at)) & 0xFF); };
  if (encoding == Encoding::dna) {
    constexpr Word ones = 0x0101010101010101;
    return bits(DnaPlanes::low) + (bits(DnaPlanes::high) << 1) +
           ((bits(DnaPlanes::known) ^ ones) << 2);
  }
  Word codes = 0;
  for (unsigned q = 0; q < form_of(encoding).raw_bits; ++q) codes += bits(q) << q;
  return codes;
}

std::size_t translate_portable(const Translation& table, std::string_view text, std::uint8_t* out,
                               std::uint8_t& seen) noexcept {
  std::uint8_t* at = out;
  std::uint8_t all = 0;
  // Every byte is stored and a dropped one overwritten by the next, which
  // keeps the loop free of branches.
  for (const char c : text) {
    const std::uint8_t code = table[static_cast<std::uint8_t>(c)];
    *at = code;
    at += static_cast<std::size_t>(code != dropped);
    all |= code;
  }
  seen |= all;
  return static_cast<std::size_t>(at - out);
}

#if NJ_X86_64
// Sequence text is nearly all printable ASCII (0x20-0x7F): 32 bytes of it
// are translated at once, by a table lookup on the low four bits for each
// of the six high halves, kept where the high half matches. Anything else,
// and runs with a dropped byte, go byte by byte.
NJ_TARGET_AVX2 std::size_t translate_avx2(const Translation& table,
                                                         std::string_view text, std::uint8_t* out,
                                                         std::uint8_t& seen) noexcept {
  constexpr int first_high = 2;
  constexpr int highs = 6;
  __m256i lookup[highs];
  for (int h = 0; h < highs; ++h) {
    lookup[h] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data() + 16 * (h + first_high))));
  }
  const __m256i low_bits = _mm256_set1_epi8(0x0F);
  const __m256i below_printable = _mm256_set1_epi8(0x1F);
  const __m256i dropped_code = _mm256_set1_epi8(static_cast<char>(dropped));
  __m256i all = _mm256_setzero_si256();
  std::size_t written = 0;
  std::size_t at = 0;
  for (; at + 32 <= text.size(); at += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text.data() + at));
    // Signed: bytes from 0x80 on are negative, so this says 0x20-0x7F.
    const bool printable = _mm256_movemask_epi8(_mm256_cmpgt_epi8(bytes, below_printable)) == -1;
    __m256i codes = _mm256_setzero_si256();
    if (printable) {
      const __m256i low = _mm256_and_si256(bytes, low_bits);
      const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_bits);
      for (int h = 0; h < highs; ++h) {
        const __m256i match = _mm256_cmpeq_epi8(high, _mm256_set1_epi8(static_cast<char>(h + first_high)));
        codes = _mm256_or_si256(codes, _mm256_and_si256(_mm256_shuffle_epi8(lookup[h], low), match));
      }
    }
    if (!printable || _mm256_movemask_epi8(_mm256_cmpeq_epi8(codes, dropped_code)) != 0) {
      written += translate_portable(table, text.substr(at, 32), out + written, seen);
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + written), codes);
    all = _mm256_or_si256(all, codes);
    written += 32;
  }
  alignas(32) std::uint8_t lanes[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), all);
  for (const std::uint8_t lane : lanes) seen |= lane;
  return written + translate_portable(table, text.substr(at), out + written, seen);
}
#endif

}  // namespace

std::size_t translate(const Translation& table, std::string_view text, std::uint8_t* out,
                      std::uint8_t& seen) noexcept {
#if NJ_X86_64
  static const bool wide = nj::detail::simd_level_supported(nj::detail::SimdLevel::Avx2);
  if (wide) return translate_avx2(table, text, out, seen);
#endif
  return translate_portable(table, text, out, seen);
}

Translation translation(MissingRule rule, Encoding encoding, bool drop_white_space) noexcept {
  Translation table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const auto b = static_cast<std::uint8_t>(byte);
    table[byte] = drop_white_space && is_white_space(b) ? dropped : code_of(rule, encoding, b);
  }
  return table;
}

std::uint8_t open_to_protein(MissingRule rule, std::uint8_t open) noexcept {
  if (rule == MissingRule::literal) return literal_open_protein[open & 15];
  return open == skip_missing ? Protein::gap
                              : skip_protein(static_cast<std::uint8_t>(skip_open_order[open]));
}

void encode_row(Encoding encoding, std::span<const std::uint8_t> codes, Word* out,
                detail::SimdLevel level) {
  const Form form = form_of(encoding);
  const PackFn pack = pack_function(level);
  const std::size_t words = row_words_for(Residues::dna, codes.size()) / DnaPlanes::count;
  std::array<std::uint8_t, 64> tail{};
  for (std::size_t word = 0; word < words; ++word) {
    Word* slot = out + (word / block_words) * form.planes * block_words + word % block_words;
    std::array<Word, 5> raw{};
    const std::size_t first = 64 * word;
    if (first < codes.size()) {
      const std::uint8_t* from = codes.data() + first;
      if (codes.size() - first < 64) {
        tail.fill(0);
        std::memcpy(tail.data(), from, codes.size() - first);
        from = tail.data();
      }
      pack(from, form.raw_bits, raw.data());
    }
    write_word(encoding, raw.data(), live_bits(word, codes.size()), slot);
  }
}

void encode_row(Encoding encoding, std::span<const std::uint8_t> codes, Word* out) {
  encode_row(encoding, codes, out, detail::best_simd_level());
}

void decode_row(Encoding encoding, const Word* row, std::uint64_t length,
                std::uint8_t* codes) noexcept {
  const Form form = form_of(encoding);
  for (std::uint64_t first = 0; first < length; first += 8) {
    const std::size_t word = first / 64;
    const Word* slot = row + (word / block_words) * form.planes * block_words + word % block_words;
    Word eight = eight_codes(encoding, slot, static_cast<unsigned>(first % 64 / 8));
    if constexpr (std::endian::native == std::endian::big) eight = std::byteswap(eight);
    std::memcpy(codes + first, &eight, std::min<std::uint64_t>(8, length - first));
  }
}

void open_to_dna(MissingRule rule, Word* row, std::uint64_t length) noexcept {
  const std::size_t words = row_words_for(Residues::dna, length) / DnaPlanes::count;
  for (std::size_t word = 0; word < words; ++word) {
    Word* slot = row + (word / block_words) * DnaPlanes::count * block_words + word % block_words;
    const auto plane = [slot](std::size_t p) -> Word& { return slot[p * block_words]; };
    const Word live = live_bits(word, length);
    const Word n0 = plane(0), n1 = plane(1), n2 = plane(2), n3 = plane(3);
    if (rule == MissingRule::literal) {
      // Codes 8-10 (bit 3 set) are N, the gap (the only one with bit 0) and
      // the unknown; none of them is known.
      plane(DnaPlanes::low) = n0;
      plane(DnaPlanes::high) = n1 & ~n3;
      plane(DnaPlanes::known) = ~n3 & live;
      plane(DnaPlanes::present) = ~(n3 & n0) & live;
    } else {
      // Residues are codes 0-3 and U (7); the rest is missing, the gap.
      const Word residue = ~n3 & (~n2 | (n0 & n1)) & live;
      plane(DnaPlanes::low) = (n0 | ~residue) & live;
      plane(DnaPlanes::high) = n1 & residue;
      plane(DnaPlanes::known) = residue;
      plane(DnaPlanes::present) = residue;
    }
  }
}

}  // namespace nj::kit
