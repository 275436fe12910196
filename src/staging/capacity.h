// Keeping the store bounded: the census, the capacity rule and expiry after 7 days.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"
#include "util/rfc3339.h"

namespace varquin::staging {

inline constexpr std::int64_t kExpiryAgeSeconds = 604'800;  // 7 days
inline constexpr std::uint64_t kStageLimit = 20;
inline constexpr std::uint64_t kTerminalRecordLimit = 256;
inline constexpr std::uint64_t kByteLimit = 536'870'912;  // 512 MiB

struct StoreUsage {
  std::uint64_t stages = 0;
  std::uint64_t bytes = 0;  // saturating
  std::uint64_t terminal_records = 0;
};

// Removes stages, incoming directories and terminal records 7 days old or older, working
// relative to the two roots held open.
Status purge_expired(const platform::Directory& imports_root,
                     const platform::Directory& terminals_root, util::Instant now);

Result<StoreUsage> managed_usage(const platform::Directory& imports_root,
                                 const platform::Directory& terminals_root);

// The same two for roots given by path (tools and tests), each reached without following links; a
// root that does not exist holds nothing.
Status purge_expired(const std::string& imports_root, const std::string& terminals_root,
                     util::Instant now);
Result<StoreUsage> managed_usage(const std::string& imports_root,
                                 const std::string& terminals_root);

// Total size of the regular files below `directory`, links not followed.
Result<std::uint64_t> regular_file_bytes(const platform::Directory& directory);

// Removes the stage `request_id` of the imports root so that no reader, crash or failed removal
// ever leaves a stage without its manifest or its file: one rename first turns it into an incoming
// directory beside it, which is then removed. What a failure leaves behind is that incoming
// directory, counted by the census and expired by its age. Only the directory `expected` names is
// removed (when given; else the one found under the name): anything put in its place meanwhile is
// put back and the call fails. Failures carry `failure_prefix` and "staging_failed".
Status retire_stage(const platform::Directory& imports_root, std::string_view request_id,
                    std::optional<platform::FileIdentity> expected,
                    std::string_view failure_prefix);

// "capacity_exceeded" when a new stage of `new_bytes` would pass a limit.
Status check_capacity(const StoreUsage& usage, std::uint64_t new_bytes);

}  // namespace varquin::staging
