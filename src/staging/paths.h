// Where the store lives and how its files and directories are named.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

inline constexpr std::string_view kImportsRootName = "browser-imports";
inline constexpr std::string_view kTerminalsRootName = "browser-import-terminals";
inline constexpr std::string_view kLockFileName = ".bridge.lock";
inline constexpr std::string_view kManifestName = "request.json";
inline constexpr std::string_view kIncomingPrefix = ".incoming-";
// What the bridge removes goes by this name first: the census ignores it, and every purge removes
// what is left of it, whatever its age.
inline constexpr std::string_view kRetiredPrefix = ".retired-";
inline constexpr std::string_view kManagedContainerName = "Varquin Inbox";

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
// The same after ".retired-".
Result<std::string> new_retired_name(std::string_view request_id);

// The root at `path` when it exists, reached without following any link (a link: the refusal of
// a symbolic link); none when it does not. Other failures go through `failure`.
Result<std::optional<platform::Directory>> open_existing_root(const std::string& path,
                                                              const Prefixed& failure);

// The two roots of the store as they are, creating nothing: a root that does not exist is none.
struct ExistingRoots {
  std::optional<platform::Directory> imports;
  std::optional<platform::Directory> terminals;
};
Result<ExistingRoots> open_existing_roots(const StorePaths& paths);

// A file name without its last extension: "a.b.json" -> "a.b", "x" -> "x", ".json" -> ".json".
std::string_view name_without_extension(std::string_view name);

}  // namespace varquin::staging
