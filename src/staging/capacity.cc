#include "staging/capacity.h"

#include <limits>

#include "platform/tree.h"
#include "staging/errors.h"
#include "staging/limits.h"

namespace varquin::staging {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

Result<std::uint64_t> regular_file_bytes(const platform::Directory& directory) {
  // A directory of the tree that cannot be listed says so; a bad entry is the bare error text.
  VARQUIN_ASSIGN_OR_RETURN(
      auto total, platform::regular_file_bytes(directory), [](const platform::TreeError& e) {
        return staging_failed(e.listing ? "Unable to inspect incoming import: " : "")(e.error);
      });
  return total;
}

Status check_capacity(const StoreUsage& usage, std::uint64_t new_bytes) {
  if (usage.stages >= kStageLimit || usage.terminal_records > kTerminalRecordLimit ||
      saturating_add(usage.bytes, new_bytes) > kByteLimit) {
    return fail("Varquin's pending browser import capacity has been reached",
                ErrorCode::CapacityExceeded);
  }
  return {};
}

}  // namespace varquin::staging
