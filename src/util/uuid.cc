#include "util/uuid.h"

#include "platform/random.h"

namespace varquin::util {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 32 hex digits, with hyphens expected exactly where `hyphenated` puts them.
std::optional<Uuid> parse_digits(std::string_view text, bool hyphenated) {
  Uuid uuid{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool hyphen_slot = hyphenated && (i == 8 || i == 13 || i == 18 || i == 23);
    if (hyphen_slot) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    int value = hex_value(text[i]);
    if (value < 0 || nibble >= 32) return std::nullopt;
    uuid[nibble / 2] =
        static_cast<std::uint8_t>(uuid[nibble / 2] | (nibble % 2 ? value : value << 4));
    ++nibble;
  }
  if (nibble != 32) return std::nullopt;
  return uuid;
}

std::string format(const Uuid& uuid, bool hyphenated) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (hyphenated && (i == 4 || i == 6 || i == 8 || i == 10)) out += '-';
    out += kDigits[uuid[i] >> 4];
    out += kDigits[uuid[i] & 0x0F];
  }
  return out;
}

}  // namespace

std::optional<Uuid> parse_uuid(std::string_view text) {
  switch (text.size()) {
    case 32:
      return parse_digits(text, false);
    case 36:
      return parse_digits(text, true);
    case 38:
      if (text.front() != '{' || text.back() != '}') return std::nullopt;
      return parse_digits(text.substr(1, 36), true);
    case 45:
      if (!text.starts_with("urn:uuid:")) return std::nullopt;
      return parse_digits(text.substr(9), true);
    default:
      return std::nullopt;
  }
}

std::string format_uuid_hyphenated(const Uuid& uuid) {
  return format(uuid, true);
}
std::string format_uuid_simple(const Uuid& uuid) {
  return format(uuid, false);
}

platform::OsResult<Uuid> random_uuid_v4() {
  VARQUIN_ASSIGN_OR_RETURN(auto bytes, platform::random_bytes_16());
  Uuid uuid = bytes;
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC variant
  return uuid;
}

}  // namespace varquin::util
