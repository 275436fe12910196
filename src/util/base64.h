#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varquin::util {

// Strict RFC 4648 Base64 (standard alphabet, padding required, zero trailing bits, no white
// space). Appends the decoded bytes to `out` and returns true; on invalid input returns false and
// leaves `out` as it was.
bool decode_base64_append(std::string_view text, std::vector<std::uint8_t>& out);

// Standard alphabet with padding.
std::string encode_base64(std::span<const std::uint8_t> bytes);

// Number of bytes `text` decodes to, assuming it is valid.
std::size_t decoded_base64_size(std::string_view text);

}  // namespace varquin::util
