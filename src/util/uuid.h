#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace varquin::util {

using Uuid = std::array<std::uint8_t, 16>;

// Parses the four standard textual forms: hyphenated (36), simple (32 hex digits), braced (38)
// and "urn:uuid:" + hyphenated (45). Hex digits in either case.
std::optional<Uuid> parse_uuid(std::string_view text);

std::string format_uuid_hyphenated(const Uuid& uuid);  // lower case, 8-4-4-4-12
std::string format_uuid_simple(const Uuid& uuid);      // lower case, 32 digits

// A random version-4 UUID (RFC 9562).
platform::OsResult<Uuid> random_uuid_v4();

}  // namespace varquin::util
