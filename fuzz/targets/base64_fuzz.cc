// The Base64 decoders of upload chunks. Decoding is checked against the strict alphabet, padding
// and zero-trailing-bit rules written out here; an accepted text is canonical (re-encoding the
// bytes gives the text back) and decodes to the announced size; a refused text leaves the output
// untouched; decoding into caller memory of exactly that size agrees with the appending decoder
// and stays inside it; and any bytes, encoded, decode back to themselves. Texts of 48 characters
// and more reach the vectorised path where the processor has one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/check.h"
#include "util/base64.h"

namespace {

using namespace varquin;

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// RFC 4648 without leniency: groups of four, "=" only as the last one or two characters, and the
// bits that padding leaves over all zero.
bool strictly_valid(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (sextet(text[i]) < 0) return false;
  }
  if (padding == 0) return true;
  int last = sextet(text[text.size() - 1 - padding]);
  return padding == 1 ? (last & 0x03) == 0 : (last & 0x0F) == 0;
}

void check_decoding(std::string_view text) {
  const std::vector<std::uint8_t> prefix{0xA5, 0x00, 0x5A};
  std::vector<std::uint8_t> out = prefix;
  bool accepted = util::decode_base64_append(text, out);
  FUZZ_CHECK_MSG(accepted == strictly_valid(text), text);
  if (!accepted) {
    FUZZ_CHECK(out == prefix);
    return;
  }
  FUZZ_CHECK(std::equal(prefix.begin(), prefix.end(), out.begin()));
  std::span<const std::uint8_t> decoded(out.data() + prefix.size(), out.size() - prefix.size());
  FUZZ_CHECK(decoded.size() == util::decoded_base64_size(text));
  FUZZ_CHECK_MSG(util::encode_base64(decoded) == text, text);
}

// Decoding into caller memory of exactly the announced size, on its own heap block so that a
// store past its end is caught: the same verdict and bytes as the appending decoder.
void check_decoding_into(std::string_view text) {
  auto buffer = std::make_unique<std::uint8_t[]>(util::decoded_base64_size(text));
  std::span<std::uint8_t> out(buffer.get(), util::decoded_base64_size(text));
  auto written = util::decode_base64_into(text, out);
  std::vector<std::uint8_t> appended;
  bool accepted = util::decode_base64_append(text, appended);
  FUZZ_CHECK_MSG(written.has_value() == accepted, text);
  if (!written) return;
  FUZZ_CHECK(*written == out.size());
  FUZZ_CHECK(std::equal(out.begin(), out.end(), appended.begin(), appended.end()));
}

void check_encoding(std::span<const std::uint8_t> bytes) {
  std::string text = util::encode_base64(bytes);
  FUZZ_CHECK(text.size() == (bytes.size() + 2) / 3 * 4);
  FUZZ_CHECK(util::decoded_base64_size(text) == bytes.size());
  std::vector<std::uint8_t> back;
  FUZZ_CHECK(util::decode_base64_append(text, back));
  FUZZ_CHECK(std::equal(back.begin(), back.end(), bytes.begin(), bytes.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check_decoding(text);
  check_decoding_into(text);
  check_encoding(std::span(data, size));
  return 0;
}
