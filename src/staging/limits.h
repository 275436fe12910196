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
inline constexpr std::uint64_t kStageLimit = 20;
inline constexpr std::uint64_t kTerminalRecordLimit = 256;
inline constexpr std::uint64_t kByteLimit = 536'870'912;  // 512 MiB

}  // namespace varquin::staging
