// Where the store lives, the request-ID rule and the path rules shared by the staging operations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"
#include "platform/os_error.h"
#include "protocol/request.h"

namespace varquin::staging {

inline constexpr std::string_view kImportsRootName = "browser-imports";
inline constexpr std::string_view kTerminalsRootName = "browser-import-terminals";
inline constexpr std::string_view kLockFileName = ".bridge.lock";
inline constexpr std::string_view kManifestName = "request.json";
inline constexpr std::string_view kIncomingPrefix = ".incoming-";
inline constexpr std::string_view kManagedContainerName = "Varquin Inbox";
inline constexpr std::string_view kImportSchema = protocol::kRequestSchema;
inline constexpr std::string_view kGmailSource = protocol::kGmailSource;

inline constexpr std::uint64_t kAttachmentLimitBytes = 67'108'864;  // 64 MiB
// Far above any real record; a record is never read past it.
inline constexpr std::size_t kRecordLimitBytes = 1'048'576;

// The store's paths under one user-data directory. The request ID is used exactly as sent.
struct StorePaths {
  std::string user_data;

  std::string imports_root() const;
  std::string terminals_root() const;
  std::string lock_file() const;
  std::string stage_directory(std::string_view request_id) const;
  std::string manifest_path(std::string_view request_id) const;
  std::string terminal_record(std::string_view request_id) const;
};

// ".incoming-" + request ID + "-" + 32 lower-case hex digits of a fresh random UUID.
Result<std::string> new_incoming_name(std::string_view request_id);

// Both roots of the store, created when missing and held open: the staging operations work
// relative to them, so nothing they write can be redirected out of the store.
struct StoreRoots {
  platform::Directory imports;
  platform::Directory terminals;
};

// Refuses a symbolic link anywhere in either root's path, as
// `reject_symlink_or_reparse_components` does.
Result<StoreRoots> create_store_roots(const StorePaths& store);

enum class RequestIdFault { None, Invalid, NotCanonical };

// The request-ID rule without an error code, for callers that report it with their own code.
RequestIdFault check_request_id(std::string_view request_id);
std::string_view request_id_fault_message(RequestIdFault fault);

// A canonical hyphenated UUID in either case; failures carry "invalid_file".
Status validate_request_id(std::string_view request_id);

// An entry of `root` named ".incoming-<request ID>-<32 lower-case hex>" that is itself a directory
// (not a link to one).
bool is_valid_incoming_directory(const platform::Directory& root, std::string_view name);

// The last component is `request_id` and the one before it is "Varquin Inbox".
bool has_managed_request_segments(std::string_view path, std::string_view request_id);

// A file name without its last extension: "a.b.json" -> "a.b", "x" -> "x", ".json" -> ".json".
std::string_view name_without_extension(std::string_view name);

// A failure of the file system under the store: a fixed prefix and the system's description.
inline std::unexpected<BridgeError> staging_failure(std::string_view prefix,
                                                    const platform::OsError& error) {
  return fail(prefix, error.text(), ErrorCode::StagingFailed);
}

// Refuses a path any of whose components, from itself up to the root, is a symbolic link or
// cannot be inspected.
Status reject_symlink_or_reparse_components(const std::string& path);

// The refusal of a path that holds a symbolic link, for a link found by descriptor (ELOOP).
std::unexpected<BridgeError> symlinked_path_failure();

}  // namespace varquin::staging
