// Keeping the store bounded: the census and the capacity rule.
#pragma once

#include <cstdint>

#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

struct StoreUsage {
  std::uint64_t stages = 0;
  std::uint64_t bytes = 0;  // saturating
  std::uint64_t terminal_records = 0;
};

// a + b, stopping at the largest 64-bit value instead of wrapping.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

// Total size of the regular files below `directory`, links not followed.
Result<std::uint64_t> regular_file_bytes(const platform::Directory& directory);

// "capacity_exceeded" when a new stage of `new_bytes` would pass a limit.
Status check_capacity(const StoreUsage& usage, std::uint64_t new_bytes);

}  // namespace varquin::staging
