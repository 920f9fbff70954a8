// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "message_text.hpp"

namespace nj {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(Utf8, AcceptsOnlyWellFormedText) {
  struct Case {
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"Input/output error", true},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC", true},          // U+20AC
      {"\xF0\x9D\x84\x9E", true},      // U+1D11E
      {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
      {"\x80", false},                 // continuation without a lead
      {"\xC0\xAF", false},             // overlong
      {"\xE0\x80\xAF", false},         // overlong
      {"\xF0\x80\x80\xAF", false},     // overlong
      {"\xED\xA0\x80", false},         // surrogate
      {"\xF4\x90\x80\x80", false},     // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"ab\xC3", false},               // cut short
      {"\xE2\x82", false},
      {"\xE2\x28\xA1", false},         // second byte not a continuation
      {"\xE2\x82\x28", false},         // third byte not a continuation
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
}

TEST(QuoteText, EscapesLikeMessagesShowTexts) {
  struct Case {
    const char* what;
    std::string text;
    std::string quoted;
  };
  const std::vector<Case> cases = {
      {"plain", "ACGT", "\"ACGT\""},
      {"empty", "", "\"\""},
      {"quote", "a\"b", "\"a\\\"b\""},
      {"backslash", "a\\b", "\"a\\\\b\""},
      {"single quote stays", "it's", "\"it's\""},
      {"tab CR LF", "\t\r\n", "\"\\t\\r\\n\""},
      {"NUL", std::string("a\0b", 3), "\"a\\0b\""},
      {"other controls", "\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"C1 control", "\xC2\x85", "\"\\u{85}\""},
      {"space stays", "a b", "\"a b\""},
      {"combining acute accent", "e\xCC\x81", "\"e\\u{301}\""},
      {"combining grave, first of its block", "\xCC\x80", "\"\\u{300}\""},
      {"zero-width joiner", "\xE2\x80\x8D", "\"\\u{200d}\""},
      {"zero-width non-joiner", "\xE2\x80\x8C", "\"\\u{200c}\""},
      {"right-to-left mark", "\xE2\x80\x8F", "\"\\u{200f}\""},
      {"soft hyphen", "\xC2\xAD", "\"\\u{ad}\""},
      {"no-break space", "\xC2\xA0", "\"\\u{a0}\""},
      {"ideographic space", "\xE3\x80\x80", "\"\\u{3000}\""},
      {"line separator", "\xE2\x80\xA8", "\"\\u{2028}\""},
      {"paragraph separator", "\xE2\x80\xA9", "\"\\u{2029}\""},
      {"private use", "\xEE\x80\x80", "\"\\u{e000}\""},
      {"supplementary private use", "\xF4\x8F\xBF\xBD", "\"\\u{10fffd}\""},
      {"unassigned", "\xCD\xB8", "\"\\u{378}\""},
      {"noncharacter", "\xEF\xBF\xBE", "\"\\u{fffe}\""},
      {"last code point", "\xF4\x8F\xBF\xBF", "\"\\u{10ffff}\""},
      {"language tag", "\xF3\xA0\x80\x81", "\"\\u{e0001}\""},
      {"variation selector", "\xEF\xB8\x8F", "\"\\u{fe0f}\""},
      {"byte order mark", "\xEF\xBB\xBF", "\"\\u{feff}\""},
      {"letter after a combining block stays", "\xCD\xB0", "\"\xCD\xB0\""},
      {"inverted exclamation stays", "\xC2\xA1", "\"\xC2\xA1\""},
      {"non-ASCII letter stays", "\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},
      {"CJK stays", "\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},
      {"emoji stays", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"replacement character stays", "\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
      {"stray continuation byte", "a\x80z", "\"a\\u{fffd}z\""},
      {"invalid lead byte", "\xFF", "\"\\u{fffd}\""},
      {"overlong slash", "\xC0\xAF", "\"\\u{fffd}\\u{fffd}\""},
      {"encoded surrogate", "\xED\xA0\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\\u{fffd}\""},
      {"truncated at the end", "\xE2\x82", "\"\\u{fffd}\\u{fffd}\""},
      {"truncated before ASCII", "\xE2\x82" "A", "\"\\u{fffd}\\u{fffd}A\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quote_text(c.text), c.quoted) << c.what;
}

TEST(RenderFloat, ShortestDigitsWithoutExponent) {
  struct Case {
    double value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {2.5, "2.5"},
      {10.0, "10.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {-1.5, "-1.5"},
      {1e21, "1000000000000000000000.0"},
      {1e23, "100000000000000000000000.0"},  // stored as 99999999999999991611392
      {123456789012345680.0, "123456789012345680.0"},
      {1.5e300, "15" + std::string(299, '0') + ".0"},
      {1e-5, "0.00001"},
      {123.456, "123.456"},
      {1e-7, "0.0000001"},
      {0.1 + 0.2, "0.30000000000000004"},  // 17 significant digits
      {9007199254740993.0, "9007199254740992.0"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const Case& c : cases) EXPECT_EQ(render_float(c.value), c.text) << c.value;

  const std::string smallest = render_float(5e-324);
  EXPECT_EQ(smallest, "0." + std::string(323, '0') + "5");
  const std::string largest = render_float(std::numeric_limits<double>::max());
  EXPECT_EQ(largest, "17976931348623157" + std::string(292, '0') + ".0");
  EXPECT_EQ(std::stod(largest), std::numeric_limits<double>::max());
}

TEST(RenderFloat, ReadsBackToTheSameValue) {
  const std::uint64_t seed = std::random_device{}();
  std::mt19937_64 random(seed);
  for (int k = 0; k < 20000; ++k) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = render_float(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text << " seed " << seed;
    ASSERT_NE(text.find('.'), std::string::npos) << text << " seed " << seed;
    double back = 0.0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(parsed.ptr, text.data() + text.size()) << text << " seed " << seed;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value))
        << text << " seed " << seed;
  }
}

}  // namespace
}  // namespace nj
