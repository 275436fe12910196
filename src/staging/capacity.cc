#include "staging/capacity.h"

#include <limits>
#include <vector>

#include "platform/fs.h"
#include "staging/layout.h"
#include "staging/records.h"
#include "util/path.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

bool is_expired(util::Instant stamp, util::Instant now) {
  return util::whole_seconds_between(stamp, now) >= kExpiryAgeSeconds;
}

// A root that cannot even be inspected does not exist for the census or for expiry.
bool root_exists(const std::string& root) {
  return platform::stat_path(root).has_value();
}

// The kind of an entry that could be typed, or the bare error text of one that could not.
Result<platform::EntryKind> entry_kind(const platform::DirEntry& entry) {
  if (entry.kind) return *entry.kind;
  platform::OsError error = entry.error.value_or(platform::OsError{EIO});
  return std::unexpected(BridgeError(error.text(), ErrorCode::StagingFailed));
}

// Calls `visit(name, path)` for each entry of `root` that is of `wanted` kind, stopping at the
// first failure; an entry that cannot be typed fails the walk.
template <typename Visit>
Status for_each_entry(const std::string& root, std::string_view list_failure,
                      platform::EntryKind wanted, Visit visit) {
  auto entries = platform::list_directory(root);
  if (!entries) return staging_failure(list_failure, entries.error());
  for (const platform::DirEntry& entry : *entries) {
    auto kind = entry_kind(entry);
    if (!kind) return std::unexpected(kind.error());
    if (*kind != wanted) continue;
    if (auto visited = visit(entry.name, util::join_path(root, entry.name)); !visited) {
      return visited;
    }
  }
  return {};
}

constexpr std::string_view kImportsListFailure = "Unable to inspect browser imports: ";
constexpr std::string_view kTerminalsListFailure = "Unable to inspect terminal records: ";

bool is_hidden_name(std::string_view name) {
  return !name.empty() && name.front() == '.' && util::is_valid_utf8(name);
}

Status remove_tree_or(const std::string& path, std::string_view failure) {
  if (auto removed = platform::remove_tree(path); !removed) {
    return staging_failure(failure, removed.error());
  }
  return {};
}

Status expire_import(const std::string& path, util::Instant now) {
  if (is_valid_incoming_directory(path)) {
    // An abandoned incoming directory has no manifest to date it; its own mtime does.
    auto info = platform::lstat_path(path);
    if (!info || !is_expired(platform::modification_time(*info), now)) return {};
    return remove_tree_or(path, "Unable to expire incoming browser import: ");
  }
  auto manifest = validated_manifest_for_directory(path);
  if (!manifest) return {};
  auto created = util::parse_rfc3339(manifest->created_at);
  if (!created || !is_expired(*created, now)) return {};
  return retire_stage(path, manifest->request_id, "Unable to expire browser import: ");
}

// The request ID a terminal file may be expired under, when its name is one.
std::optional<std::string_view> terminal_request_id(std::string_view file_name) {
  std::string_view stem = name_without_extension(file_name);
  if (!util::is_valid_utf8(stem) || !validate_request_id(stem)) return std::nullopt;
  return stem;
}

Status expire_terminal(std::string_view name, const std::string& path, util::Instant now) {
  auto request_id = terminal_request_id(name);
  if (!request_id) return {};
  auto record = read_json<TerminalRecord>(path);
  if (!record || record->request_id != *request_id) return {};
  auto finalized = util::parse_rfc3339(record->finalized_at);
  if (!finalized || !is_expired(*finalized, now)) return {};
  if (auto removed = platform::remove_file(path); !removed) {
    return staging_failure("Unable to expire terminal record: ", removed.error());
  }
  return {};
}

}  // namespace

Status purge_expired(const std::string& imports_root, const std::string& terminals_root,
                     util::Instant now) {
  if (root_exists(imports_root)) {
    auto purged = for_each_entry(
        imports_root, kImportsListFailure, platform::EntryKind::Directory,
        [&](std::string_view, const std::string& path) { return expire_import(path, now); });
    if (!purged) return purged;
  }
  if (!root_exists(terminals_root)) return {};
  return for_each_entry(terminals_root, kTerminalsListFailure, platform::EntryKind::Regular,
                        [&](std::string_view name, const std::string& path) {
                          return expire_terminal(name, path, now);
                        });
}

Result<StoreUsage> managed_usage(const std::string& imports_root,
                                 const std::string& terminals_root) {
  StoreUsage usage;
  if (root_exists(imports_root)) {
    auto counted = for_each_entry(imports_root, kImportsListFailure, platform::EntryKind::Directory,
                                  [&](std::string_view name, const std::string& path) -> Status {
                                    if (is_valid_incoming_directory(path)) {
                                      auto bytes = regular_file_bytes(path);
                                      if (!bytes) return std::unexpected(bytes.error());
                                      usage.bytes = saturating_add(usage.bytes, *bytes);
                                      ++usage.stages;
                                      return {};
                                    }
                                    if (is_hidden_name(name)) return {};
                                    // A stage without a usable manifest still takes a place, just
                                    // no bytes.
                                    ++usage.stages;
                                    if (auto manifest = validated_manifest_for_directory(path)) {
                                      usage.bytes =
                                          saturating_add(usage.bytes, manifest->size_bytes);
                                    }
                                    return {};
                                  });
    if (!counted) return std::unexpected(counted.error());
  }
  if (root_exists(terminals_root)) {
    auto entries = platform::list_directory(terminals_root);
    if (!entries) return staging_failure(kTerminalsListFailure, entries.error());
    // An entry that cannot be typed is skipped here, not fatal: the desktop app owns this root.
    for (const platform::DirEntry& entry : *entries) {
      if (entry.kind == platform::EntryKind::Regular) ++usage.terminal_records;
    }
  }
  return usage;
}

Result<std::uint64_t> regular_file_bytes(const std::string& directory) {
  auto entries = platform::list_directory(directory);
  if (!entries) {
    return staging_failure("Unable to inspect incoming import: ", entries.error());
  }
  std::uint64_t total = 0;
  for (const platform::DirEntry& entry : *entries) {
    auto kind = entry_kind(entry);
    if (!kind) return std::unexpected(kind.error());
    const std::string path = util::join_path(directory, entry.name);
    if (*kind == platform::EntryKind::Regular) {
      auto info = platform::lstat_path(path);
      if (!info) return std::unexpected(BridgeError(info.error().text(), ErrorCode::StagingFailed));
      total = saturating_add(total, static_cast<std::uint64_t>(info->st_size));
    } else if (*kind == platform::EntryKind::Directory) {
      auto nested = regular_file_bytes(path);
      if (!nested) return nested;
      total = saturating_add(total, *nested);
    }
  }
  return total;
}

Status retire_stage(const std::string& stage_directory, std::string_view request_id,
                    std::string_view failure_prefix) {
  auto parent = util::parent_path(stage_directory);
  if (!parent) return staging_failure(failure_prefix, platform::OsError{EINVAL});
  auto retired = new_incoming_directory_in(*parent, request_id);
  if (!retired) return std::unexpected(retired.error());
  // Removing the files in place would let a crash or a failed unlink leave a stage without its
  // manifest, which never expires, or a manifest without its file.
  if (auto renamed = platform::rename_path(stage_directory, *retired); !renamed) {
    return staging_failure(failure_prefix, renamed.error());
  }
  return remove_tree_or(*retired, failure_prefix);
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
