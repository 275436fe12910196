// Keeping the store bounded: the census, the capacity rule and expiry after 7 days.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"
#include "util/rfc3339.h"

namespace varquin::staging {

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

// "capacity_exceeded" when a new stage of `new_bytes` would pass a limit.
Status check_capacity(const StoreUsage& usage, std::uint64_t new_bytes);

}  // namespace varquin::staging
