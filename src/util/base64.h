#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varquin::util {

// Strict RFC 4648 Base64 (standard alphabet, padding required, zero trailing bits, no white
// space). Appends the decoded bytes to `out` and returns true; on invalid input returns false and
// leaves `out` as it was.
bool decode_base64_append(std::string_view text, std::vector<std::uint8_t>& out);

// The same rules, decoding into memory the caller provides, so a large buffer can be filled
// without first being zero-filled. `out` must hold at least decoded_base64_size(text) bytes.
// Returns the number of bytes written, or none when the text is invalid (what was written to
// `out` is then meaningless).
std::optional<std::size_t> decode_base64_into(std::string_view text, std::span<std::uint8_t> out);

// Standard alphabet with padding.
std::string encode_base64(std::span<const std::uint8_t> bytes);

// Number of bytes `text` decodes to, assuming it is valid.
std::size_t decoded_base64_size(std::string_view text);

}  // namespace varquin::util
