#include "staging/capacity.h"

#include <limits>
#include <vector>

#include "platform/directory.h"
#include "platform/tree.h"
#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "staging/request_id.h"
#include "staging/transaction.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

using platform::Directory;
using platform::EntryKind;

constexpr std::string_view kImportsListFailure = "Unable to inspect browser imports: ";
constexpr std::string_view kTerminalsListFailure = "Unable to inspect terminal records: ";

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

bool is_expired(util::Instant stamp, util::Instant now) {
  return util::whole_seconds_between(stamp, now) >= kExpiryAgeSeconds;
}

std::unexpected<BridgeError> bare_failure(const platform::OsError& error) {
  return std::unexpected(BridgeError(error.text(), ErrorCode::StagingFailed));
}

// The kind of an entry that could be typed, or the bare error text of one that could not.
Result<EntryKind> entry_kind(const platform::DirEntry& entry) {
  if (entry.kind) return *entry.kind;
  return bare_failure(entry.error.value_or(platform::OsError{EIO}));
}

// Calls `visit(name)` for each entry of `root` that is of `wanted` kind, stopping at the first
// failure; an entry that cannot be typed fails the walk.
template <typename Visit>
Status for_each_entry(const Directory& root, std::string_view list_failure, EntryKind wanted,
                      Visit visit) {
  VARQUIN_ASSIGN_OR_RETURN(auto entries, root.list(), staging_failed(list_failure));
  for (const platform::DirEntry& entry : entries) {
    VARQUIN_ASSIGN_OR_RETURN(auto kind, entry_kind(entry));
    if (kind != wanted) continue;
    if (auto visited = visit(std::string_view(entry.name)); !visited) return visited;
  }
  return {};
}

bool is_hidden_name(std::string_view name) {
  return !name.empty() && name.front() == '.' && util::is_valid_utf8(name);
}

Status remove_tree_or(const Directory& root, std::string_view name, std::string_view failure) {
  VARQUIN_RETURN_IF_ERROR(platform::remove_tree(root, name), staging_failed(failure));
  return {};
}

Status expire_import(const Directory& root, std::string_view name, util::Instant now) {
  if (is_valid_incoming_directory(root, name)) {
    // An abandoned incoming directory has no manifest to date it; its own mtime does.
    auto info = root.stat(name);
    if (!info || !is_expired(platform::modification_time(*info), now)) return {};
    return remove_tree_or(root, name, "Unable to expire incoming browser import: ");
  }
  // Judged through the directory held open, so the one removed is the one whose manifest aged.
  auto stage = root.open_directory(name);
  if (!stage) return {};
  auto manifest = validated_manifest_for_directory(*stage);
  if (!manifest) return {};
  auto created = util::parse_rfc3339(manifest->created_at);
  if (!created || !is_expired(*created, now)) return {};
  constexpr std::string_view kFailure = "Unable to expire browser import: ";
  VARQUIN_ASSIGN_OR_RETURN(auto identity, stage->identity(), staging_failed(kFailure));
  return retire_stage(root, name, identity, kFailure);
}

// The request ID a terminal file may be expired under, when its name is one.
std::optional<std::string_view> terminal_request_id(std::string_view file_name) {
  std::string_view stem = name_without_extension(file_name);
  if (!util::is_valid_utf8(stem) || !validate_request_id(stem)) return std::nullopt;
  return stem;
}

Status expire_terminal(const Directory& root, std::string_view name, util::Instant now) {
  auto request_id = terminal_request_id(name);
  if (!request_id) return {};
  auto record = read_json<TerminalRecord>(root, name);
  if (!record || record->request_id != *request_id) return {};
  auto finalized = util::parse_rfc3339(record->finalized_at);
  if (!finalized || !is_expired(*finalized, now)) return {};
  VARQUIN_RETURN_IF_ERROR(root.remove_file(name),
                          staging_failed("Unable to expire terminal record: "));
  return {};
}

Status purge_imports(const Directory& root, util::Instant now) {
  return for_each_entry(root, kImportsListFailure, EntryKind::Directory,
                        [&](std::string_view name) { return expire_import(root, name, now); });
}

Status purge_terminals(const Directory& root, util::Instant now) {
  return for_each_entry(root, kTerminalsListFailure, EntryKind::Regular,
                        [&](std::string_view name) { return expire_terminal(root, name, now); });
}

Status count_imports(const Directory& root, StoreUsage& usage) {
  return for_each_entry(
      root, kImportsListFailure, EntryKind::Directory, [&](std::string_view name) -> Status {
        if (is_valid_incoming_directory(root, name)) {
          VARQUIN_ASSIGN_OR_RETURN(auto incoming, root.open_directory(name),
                                   staging_failed("Unable to inspect incoming import: "));
          VARQUIN_ASSIGN_OR_RETURN(auto bytes, staging::regular_file_bytes(incoming));
          usage.bytes = saturating_add(usage.bytes, bytes);
          ++usage.stages;
          return {};
        }
        if (is_hidden_name(name)) return {};
        // A stage without a usable manifest still takes a place, just no bytes.
        ++usage.stages;
        auto stage = root.open_directory(name);
        if (!stage) return {};
        if (auto manifest = validated_manifest_for_directory(*stage)) {
          usage.bytes = saturating_add(usage.bytes, manifest->size_bytes);
        }
        return {};
      });
}

Status count_terminals(const Directory& root, StoreUsage& usage) {
  VARQUIN_ASSIGN_OR_RETURN(auto entries, root.list(), staging_failed(kTerminalsListFailure));
  // An entry that cannot be typed is skipped here, not fatal: the desktop app owns this root.
  for (const platform::DirEntry& entry : entries) {
    if (entry.kind == EntryKind::Regular) ++usage.terminal_records;
  }
  return {};
}

// A root given by path: none when it does not exist.
Result<std::optional<Directory>> existing_root(const std::string& path,
                                               std::string_view list_failure) {
  auto root = Directory::open(path);
  if (root) return std::optional<Directory>(std::move(*root));
  if (root.error().number == ENOENT) return std::optional<Directory>();
  return staging_failed(list_failure)(root.error());
}

// Runs `work` on the root at `path` when there is one.
template <typename Work>
Status with_existing_root(const std::string& path, std::string_view list_failure, Work work) {
  VARQUIN_ASSIGN_OR_RETURN(auto root, existing_root(path, list_failure));
  if (!root) return {};
  return work(*root);
}

}  // namespace

Status purge_expired(const Directory& imports_root, const Directory& terminals_root,
                     util::Instant now) {
  if (auto purged = purge_imports(imports_root, now); !purged) return purged;
  return purge_terminals(terminals_root, now);
}

Result<StoreUsage> managed_usage(const Directory& imports_root, const Directory& terminals_root) {
  StoreUsage usage;
  VARQUIN_RETURN_IF_ERROR(count_imports(imports_root, usage));
  VARQUIN_RETURN_IF_ERROR(count_terminals(terminals_root, usage));
  return usage;
}

Status purge_expired(const std::string& imports_root, const std::string& terminals_root,
                     util::Instant now) {
  auto purged = with_existing_root(imports_root, kImportsListFailure,
                                   [&](const Directory& root) { return purge_imports(root, now); });
  if (!purged) return purged;
  return with_existing_root(terminals_root, kTerminalsListFailure,
                            [&](const Directory& root) { return purge_terminals(root, now); });
}

Result<StoreUsage> managed_usage(const std::string& imports_root,
                                 const std::string& terminals_root) {
  StoreUsage usage;
  auto counted = with_existing_root(imports_root, kImportsListFailure, [&](const Directory& root) {
    return count_imports(root, usage);
  });
  if (counted) {
    counted = with_existing_root(terminals_root, kTerminalsListFailure, [&](const Directory& root) {
      return count_terminals(root, usage);
    });
  }
  VARQUIN_RETURN_IF_ERROR(std::move(counted));
  return usage;
}

Result<std::uint64_t> regular_file_bytes(const Directory& directory) {
  // A directory of the tree that cannot be listed says so; a bad entry is the bare error text.
  VARQUIN_ASSIGN_OR_RETURN(
      auto total, platform::regular_file_bytes(directory), [](const platform::TreeError& e) {
        return e.listing ? staging_failed("Unable to inspect incoming import: ")(e.error)
                         : bare_failure(e.error);
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
