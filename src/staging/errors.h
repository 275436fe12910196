// The failures the store's operations build themselves, and the adapters that turn a failure of
// the system into one of the store's.
#pragma once

#include <string_view>

#include "error.h"
#include "platform/os_error.h"

namespace varquin::staging {

// The two roads whose failures of the environment have a code of their own: everything that stages
// or reads the store ("staging_failed"), and the clean-up of a download directory
// ("cleanup_failed").
enum class Road { Staging, Cleanup };

constexpr ErrorCode environment_code(Road road) {
  return road == Road::Cleanup ? ErrorCode::CleanupFailed : ErrorCode::StagingFailed;
}

// The failures to look into the store's two roots.
inline constexpr std::string_view kImportsInspectFailure = "Unable to inspect browser imports: ";
inline constexpr std::string_view kTerminalsInspectFailure = "Unable to inspect terminal records: ";

// A failure of the file system under the store: a fixed prefix and the system's description.
constexpr Prefixed staging_failed(std::string_view prefix) {
  return {prefix, ErrorCode::StagingFailed};
}

// A failure to check or read the browser's file or download directory: the request's fault
// ("invalid_file"), unless the environment failed.
constexpr Prefixed invalid_file(std::string_view prefix, Road road = Road::Staging) {
  return {prefix, ErrorCode::InvalidFile, environment_code(road)};
}

// A failure to read what the store holds: the stored data's fault ("request_conflict"), unless
// the environment failed.
constexpr Prefixed request_conflict(std::string_view prefix) {
  return {prefix, ErrorCode::RequestConflict, ErrorCode::StagingFailed};
}

// The refusal of a path that holds a symbolic link.
inline std::unexpected<BridgeError> symlinked_path_failure() {
  return fail("Symlinked browser import paths are not allowed", ErrorCode::InvalidFile);
}

}  // namespace varquin::staging
