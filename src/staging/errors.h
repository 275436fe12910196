// The failures the store's operations build themselves.
#pragma once

#include <string_view>

#include "error.h"
#include "platform/os_error.h"

namespace varquin::staging {

// A failure of the file system under the store: a fixed prefix and the system's description.
inline std::unexpected<BridgeError> staging_failure(std::string_view prefix,
                                                    const platform::OsError& error) {
  return fail(prefix, error.text(), ErrorCode::StagingFailed);
}

// The refusal of a path that holds a symbolic link.
inline std::unexpected<BridgeError> symlinked_path_failure() {
  return fail("Symlinked browser import paths are not allowed", ErrorCode::InvalidFile);
}

}  // namespace varquin::staging
