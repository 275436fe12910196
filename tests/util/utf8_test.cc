#include "util/utf8.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace varquin::util {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// Each maximal ill-formed subpart becomes one U+FFFD (the Unicode "best practice").
TEST(Utf8, LossyDecodingReplacesEachIllFormedSequence) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain ascii /x y", "plain ascii /x y"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
      {"a\xFF"
       "b",
       "a" + R + "b"},
      {"\x80", R},
      {"\xC3", R},      // truncated at the end
      {"\xE2\x82", R},  // one replacement for the whole prefix
      {"\xE2\x82"
       "A",
       R + "A"},
      {"\xF0\x9F\x98", R},
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", R + R},                  // overlong lead
      {"\xE0\x80\x80", R + R + R},          // overlong
      {"\xED\xA0\x80", R + R + R},          // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xF5\x80", R + R},
      {"\xFE\xFF", R + R},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(utf8_lossy(input), expected) << ::testing::PrintToString(input);
    EXPECT_EQ(is_valid_utf8(input), input == expected) << ::testing::PrintToString(input);
  }
}

}  // namespace
}  // namespace varquin::util
