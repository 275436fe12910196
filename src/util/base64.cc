#include "util/base64.h"

#include <array>

namespace varquin::util {

namespace {

constexpr std::uint8_t kInvalid = 0xFF;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr auto kTable = make_table();

inline std::uint8_t sextet(char c) {
  return kTable[static_cast<unsigned char>(c)];
}

}  // namespace

std::string encode_base64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::size_t decoded_base64_size(std::string_view text) {
  if (text.size() < 4) return 0;
  std::size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  return text.size() / 4 * 3 - padding;
}

bool decode_base64_append(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.size() % 4 != 0) return false;
  if (text.empty()) return true;
  const std::size_t original = out.size();
  const std::size_t full_quads = text.size() / 4 - 1;
  out.resize(original + decoded_base64_size(text));
  std::uint8_t* dest = out.data() + original;
  const char* src = text.data();

  // Every quad but the last has no padding: decode four sextets into three bytes.
  for (std::size_t q = 0; q < full_quads; ++q, src += 4, dest += 3) {
    std::uint8_t a = sextet(src[0]), b = sextet(src[1]), c = sextet(src[2]), d = sextet(src[3]);
    if ((a | b | c | d) & 0x80) {
      out.resize(original);
      return false;
    }
    std::uint32_t v =
        (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    dest[0] = static_cast<std::uint8_t>(v >> 16);
    dest[1] = static_cast<std::uint8_t>(v >> 8);
    dest[2] = static_cast<std::uint8_t>(v);
  }

  std::uint8_t a = sextet(src[0]), b = sextet(src[1]);
  bool ok = !((a | b) & 0x80);
  if (src[3] != '=') {
    std::uint8_t c = sextet(src[2]), d = sextet(src[3]);
    ok = ok && !((c | d) & 0x80);
    std::uint32_t v =
        (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    if (ok) {
      dest[0] = static_cast<std::uint8_t>(v >> 16);
      dest[1] = static_cast<std::uint8_t>(v >> 8);
      dest[2] = static_cast<std::uint8_t>(v);
    }
  } else if (src[2] != '=') {
    std::uint8_t c = sextet(src[2]);
    // Two bytes: the last sextet's two low bits must be zero.
    ok = ok && !(c & 0x80) && (c & 0x03) == 0;
    if (ok) {
      dest[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
      dest[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    }
  } else {
    // One byte: the second sextet's four low bits must be zero.
    ok = ok && (b & 0x0F) == 0;
    if (ok) dest[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
  }
  if (!ok) out.resize(original);
  return ok;
}

}  // namespace varquin::util
