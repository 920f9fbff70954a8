// SPDX-License-Identifier: MIT
// Fuzzes the FASTA reader: any bytes, cut into pieces where the input says,
// must give the same alignment (or the same message) as the bytes fed at
// once, under either rule, and a read alignment must survive a trip
// through its encoded rows.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_checks.hpp"
#include "nj/toolkit.hpp"

namespace {

using nj::fuzz::check;

std::expected<nj::kit::Alignment, std::string> read(std::string_view text,
                                                    const std::vector<std::size_t>& cuts,
                                                    nj::kit::MissingRule rule,
                                                    nj::kit::AlphabetChoice alphabet) {
  nj::kit::FastaParser parser(rule, alphabet, "in");
  std::size_t at = 0;
  for (const std::size_t cut : cuts) {
    const std::size_t end = std::min(text.size(), std::max(at, cut));
    if (auto fed = parser.feed(text.substr(at, end - at)); !fed) return std::unexpected(fed.error());
    at = end;
  }
  if (auto fed = parser.feed(text.substr(at)); !fed) return std::unexpected(fed.error());
  return parser.finish();
}

void check_same(const std::expected<nj::kit::Alignment, std::string>& a,
                const std::expected<nj::kit::Alignment, std::string>& b) {
  check(a.has_value() == b.has_value(), "both read or both refused");
  if (!a) {
    check(a.error() == b.error(), "the same message", a.error());
    return;
  }
  check(a->identifiers() == b->identifiers(), "the same identifiers");
  check(a->residues() == b->residues() && a->length() == b->length(), "the same shape");
  check(std::ranges::equal(a->planes(), b->planes()), "the same encoded rows");
  check(std::ranges::all_of(a->identifiers(), nj::fuzz::is_valid_utf8), "UTF-8 identifiers");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const auto rule = data.ConsumeBool() ? nj::kit::MissingRule::skip : nj::kit::MissingRule::literal;
  const auto alphabet = static_cast<nj::kit::AlphabetChoice>(data.ConsumeIntegralInRange(0, 2));
  std::vector<std::size_t> cuts(data.ConsumeIntegralInRange<std::size_t>(0, 8));
  for (std::size_t& cut : cuts) cut = data.ConsumeIntegralInRange<std::size_t>(0, 4096);
  std::ranges::sort(cuts);
  const std::string text = data.ConsumeRemainingBytesAsString();
  const auto whole = read(text, {}, rule, alphabet);
  check_same(read(text, cuts, rule, alphabet), whole);
  if (whole) {
    const auto planes = whole->planes();
    check_same(nj::kit::Alignment::from_planes(whole->identifiers(), whole->length(), whole->residues(),
                                                whole->missing(), std::as_bytes(planes)),
               whole);
  }
  return 0;
}
