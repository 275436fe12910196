// RFC 3339 date-times: the two forms the bridge writes, and parsing of any offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace varquin::util {

using Instant = platform::WallTime;

// "2026-01-31T08:15:02.047+00:00": offset "+00:00", fraction of 0, 3, 6 or 9 digits, the fewest
// that represent the instant exactly.
std::string format_rfc3339_offset(Instant instant);

// "2026-01-31T08:15:02.047Z": exactly three fraction digits (truncated) and "Z".
std::string format_rfc3339_millis_z(Instant instant);

// Any RFC 3339 date-time ("Z" or a numeric offset, optional fraction); none when malformed.
std::optional<Instant> parse_rfc3339(std::string_view text);

// `to` - `from` in whole seconds, truncated toward zero (negative when `to` is earlier).
std::int64_t whole_seconds_between(Instant from, Instant to);

}  // namespace varquin::util
