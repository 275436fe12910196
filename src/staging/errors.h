// The failures the store's operations build themselves, and the adapters that turn a failure of
// the system into one of the store's.
#pragma once

#include <string_view>

#include "error.h"
#include "platform/os_error.h"

namespace varquin::staging {

// A failure of the file system under the store: a fixed prefix and the system's description.
constexpr Prefixed staging_failed(std::string_view prefix) {
  return {prefix, ErrorCode::StagingFailed};
}

// A failure to check or read the browser's file or download directory.
constexpr Prefixed invalid_file(std::string_view prefix) {
  return {prefix, ErrorCode::InvalidFile};
}

// The refusal of a path that holds a symbolic link.
inline std::unexpected<BridgeError> symlinked_path_failure() {
  return fail("Symlinked browser import paths are not allowed", ErrorCode::InvalidFile);
}

}  // namespace varquin::staging
