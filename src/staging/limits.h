// The bounds of the store, in one place: what one attachment, one record and the whole store may
// hold, and when entries expire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varquin::staging {

inline constexpr std::uint64_t kAttachmentLimitBytes = 67'108'864;  // 64 MiB
inline constexpr std::string_view kTooLargeMessage =
    "The attachment exceeds Varquin's 64 MiB limit";

// Far above any real record; a record is never read past it.
inline constexpr std::size_t kRecordLimitBytes = 1'048'576;

inline constexpr std::int64_t kExpiryAgeSeconds = 604'800;  // 7 days
// How far ahead of the clock an entry may be dated and still clear by itself soon. The bridge and
// the app date entries by this machine's clock, so a date ahead means a clock set back since: a day
// covers local time taken for UTC (at most 14 hours) and any correction of a drifting clock, and
// what is dated less than a day ahead still expires within 8 days.
inline constexpr std::int64_t kClockSkewSeconds = 86'400;  // 1 day
inline constexpr std::uint64_t kStageLimit = 20;
inline constexpr std::uint64_t kTerminalRecordLimit = 256;
inline constexpr std::uint64_t kByteLimit = 536'870'912;  // 512 MiB

}  // namespace varquin::staging
