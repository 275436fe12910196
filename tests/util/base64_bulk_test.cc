// Long texts: the decoder takes them in blocks (with vector instructions where the CPU has them),
// so every position of a block must decode and refuse exactly as the quad-by-quad rules say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "util/base64.h"

namespace varquin::util {
namespace {

std::vector<std::uint8_t> pseudo_random(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return bytes;
}

bool in_alphabet(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

TEST(Base64Bulk, RoundTripsEveryLengthAroundTheBlockSizes) {
  for (std::size_t size = 0; size < 400; ++size) {
    const auto bytes = pseudo_random(size, static_cast<std::uint32_t>(size));
    std::vector<std::uint8_t> out{9};
    ASSERT_TRUE(decode_base64_append(encode_base64(bytes), out)) << size;
    ASSERT_EQ(out.size(), size + 1);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin() + 1)) << size;
  }
}

TEST(Base64Bulk, RoundTripsAMegabyteIntoCallerMemory) {
  const auto bytes = pseudo_random(786'000, 7);
  const std::string text = encode_base64(bytes);
  std::vector<std::uint8_t> out(decoded_base64_size(text));
  auto written = decode_base64_into(text, out);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, bytes.size());
  EXPECT_EQ(out, bytes);
}

TEST(Base64Bulk, BlocksDecodeLikeSingleQuadsAtEveryOffset) {
  // 4 KiB of symbols starting at each quad offset of a 32-symbol block, then a tail.
  const std::string tail = encode_base64(pseudo_random(48, 3));
  for (std::size_t shift = 0; shift < 8; ++shift) {
    std::vector<std::uint8_t> bytes;
    for (int v = 0; v < 64; ++v) {
      const auto block = pseudo_random(48, static_cast<std::uint32_t>(shift * 64 + v));
      bytes.insert(bytes.end(), block.begin(), block.end());
    }
    std::string text = std::string(shift * 4, 'Q') + encode_base64(bytes) + tail;
    std::vector<std::uint8_t> fast;
    ASSERT_TRUE(decode_base64_append(text, fast));
    // Decoded quad by quad: four-character texts never reach the block loop.
    std::vector<std::uint8_t> slow;
    for (std::size_t i = 0; i < text.size(); i += 4) {
      ASSERT_TRUE(decode_base64_append(text.substr(i, 4), slow)) << i;
    }
    EXPECT_EQ(fast, slow) << shift;
  }
}

TEST(Base64Bulk, RefusesAnyByteOutsideTheAlphabetAtAnyPosition) {
  const std::string text = encode_base64(pseudo_random(3 * 100, 11));  // 400 symbols, no padding
  std::size_t tried = 0;
  for (std::size_t position = 0; position < text.size(); ++position) {
    // A different handful of the 192 refused byte values at each position; all of them overall.
    for (int k = 0; k < 4; ++k) {
      unsigned value = static_cast<unsigned>(position * 4 + k) % 256;
      while (in_alphabet(static_cast<unsigned char>(value))) value = (value + 1) % 256;
      std::string bad = text;
      bad[position] = static_cast<char>(value);
      std::vector<std::uint8_t> out{1, 2};
      EXPECT_FALSE(decode_base64_append(bad, out)) << position << " " << value;
      EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2}));
      std::vector<std::uint8_t> room(decoded_base64_size(bad));
      EXPECT_FALSE(decode_base64_into(bad, room)) << position << " " << value;
      ++tried;
    }
  }
  EXPECT_EQ(tried, text.size() * 4);
}

TEST(Base64Bulk, RefusesPaddingInsideALongText) {
  const std::string text = encode_base64(pseudo_random(3 * 50, 5));
  for (std::size_t position = 0; position + 4 < text.size(); ++position) {
    std::string bad = text;
    bad[position] = '=';
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(decode_base64_append(bad, out)) << position;
  }
}

}  // namespace
}  // namespace varquin::util
