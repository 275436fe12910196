#include "util/base64.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace varquin::util {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST(Base64, DecodesCanonicalInput) {
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
      {"", {}},
      {"Zg==", bytes("f")},
      {"Zm8=", bytes("fo")},
      {"Zm9v", bytes("foo")},
      {"Zm9vYg==", bytes("foob")},
      {"Zm9vYmE=", bytes("fooba")},
      {"Zm9vYmFy", bytes("foobar")},
      {"+/+/", {0xFB, 0xFF, 0xBF}},
      {"AAAA", {0, 0, 0}},
      {"AA==", {0}},
      {"//8=", {0xFF, 0xFF}},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<std::uint8_t> out{7};
    ASSERT_TRUE(decode_base64_append(text, out)) << text;
    std::vector<std::uint8_t> with_prefix{7};
    with_prefix.insert(with_prefix.end(), expected.begin(), expected.end());
    EXPECT_EQ(out, with_prefix) << text;
    EXPECT_EQ(decoded_base64_size(text), expected.size()) << text;
  }
}

TEST(Base64, RefusesAnythingButCanonicalStandardBase64) {
  const std::vector<std::string> refused = {
      "Zg",        // padding missing
      "Zg=",       // padding short
      "Zg===",     // too long
      "Zh==",      // trailing bits not zero (one byte)
      "Zm9=",      // trailing bits not zero (two bytes)
      "Zg==Zg==",  // padding inside
      "=Zg=",     "====",  "A===",   "Zm=v",  "Z===",
      "Zm9-",  // URL-safe alphabet
      "Zm9_",     "Zm 9v", "Zm9v\n", " Zm9v", "Zm9v=", "Zm9\xff", std::string("Zm\0v", 4),
  };
  for (const std::string& text : refused) {
    std::vector<std::uint8_t> out{1, 2, 3};
    EXPECT_FALSE(decode_base64_append(text, out)) << text;
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3})) << "output changed for " << text;
  }
}

}  // namespace
}  // namespace varquin::util
