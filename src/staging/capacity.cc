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
#include "staging/retire.h"
#include "staging/stage_check.h"
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

// The entry's own metadata (links not followed); none when the entry is gone. Only a failure of
// the environment fails.
Result<std::optional<struct stat>> entry_metadata(const Directory& root, std::string_view name,
                                                  std::string_view failure) {
  auto info = root.stat(name);
  if (info) return std::optional<struct stat>(*info);
  if (info.error().environmental()) return staging_failed(failure)(info.error());
  return std::optional<struct stat>();
}

// The entry's own modification time, the date of whatever has no date of its own.
Result<std::optional<util::Instant>> modified_at(const Directory& root, std::string_view name,
                                                 std::string_view failure) {
  VARQUIN_ASSIGN_OR_RETURN(auto info, entry_metadata(root, name, failure));
  if (!info) return std::optional<util::Instant>();
  return std::optional<util::Instant>(platform::modification_time(*info));
}

Status expire_incoming(const Directory& root, std::string_view name, util::Instant now) {
  constexpr std::string_view kFailure = "Unable to expire incoming browser import: ";
  // An abandoned incoming directory has no manifest to date it; its own mtime does. Retired
  // before it is removed: a removal that fails half way would otherwise refresh that mtime and
  // keep the leftover counted for another week.
  VARQUIN_ASSIGN_OR_RETURN(auto info, entry_metadata(root, name, kFailure));
  if (!info || !is_expired(platform::modification_time(*info), now)) return {};
  const std::string_view request_id = name.substr(kIncomingPrefix.size(), 36);
  VARQUIN_ASSIGN_OR_RETURN(
      auto retired, rename_retired(root, name, request_id, platform::identity_of(*info), kFailure));
  VARQUIN_RETURN_IF_ERROR(remove_retired(root, retired), staging_failed(kFailure));
  return {};
}

// A stage is dated by its manifest's createdAt. One the bridge cannot judge (no manifest it
// accepts, or a date that does not parse) is dated by its own modification time instead, so that
// nothing holds a place in the store forever. A manifest that could not be read for the
// environment's sake judges nothing: the purge fails.
Status expire_stage(const Directory& root, std::string_view name, util::Instant now) {
  constexpr std::string_view kFailure = "Unable to expire browser import: ";
  // Judged through the directory held open, so the one removed is the one whose age was read.
  VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(root, name));
  if (!stage) return {};
  VARQUIN_ASSIGN_OR_RETURN(auto manifest, validated_manifest_for_directory(*stage));
  std::optional<util::Instant> dated;
  if (manifest) dated = util::parse_rfc3339(manifest->created_at);
  if (!dated) {
    VARQUIN_ASSIGN_OR_RETURN(dated, modified_at(root, name, kFailure));
  }
  if (!dated || !is_expired(*dated, now)) return {};
  VARQUIN_ASSIGN_OR_RETURN(auto identity, stage->identity(), staging_failed(kFailure));
  return retire_stage(root, name, identity, kFailure);
}

Status expire_import(const Directory& root, std::string_view name, util::Instant now) {
  // What a retirement left behind goes at once, whatever its age.
  if (is_retired_name(name)) {
    VARQUIN_RETURN_IF_ERROR(remove_retired(root, name),
                            staging_failed("Unable to expire browser import: "));
    return {};
  }
  if (is_valid_incoming_directory(root, name)) return expire_incoming(root, name, now);
  // Other hidden directories are not the bridge's: neither counted nor removed.
  if (is_hidden_name(name)) return {};
  return expire_stage(root, name, now);
}

// The request ID a terminal file may be expired under, when its name is one.
std::optional<std::string_view> terminal_request_id(std::string_view file_name) {
  std::string_view stem = name_without_extension(file_name);
  if (!util::is_valid_utf8(stem) || !validate_request_id(stem)) return std::nullopt;
  return stem;
}

// When a terminal record was finalized: none for a file that fails the record tests (not named
// after a request ID, not a record, a record of another request, an unparsable date).
Result<std::optional<util::Instant>> finalized_at(const Directory& root, std::string_view name) {
  const std::optional<util::Instant> none;
  auto request_id = terminal_request_id(name);
  if (!request_id) return none;
  auto record = read_json<TerminalRecord>(root, name);
  if (!record) {
    // A record that could not be read for the environment's sake judges nothing.
    if (record.error().retryable()) return std::unexpected(std::move(record).error());
    return none;
  }
  if (record->request_id != *request_id) return none;
  return util::parse_rfc3339(record->finalized_at);
}

// A terminal record expires by its finalizedAt; a file the bridge cannot judge as one by its own
// modification time.
Status expire_terminal(const Directory& root, std::string_view name, util::Instant now) {
  constexpr std::string_view kFailure = "Unable to expire terminal record: ";
  VARQUIN_ASSIGN_OR_RETURN(auto dated, finalized_at(root, name));
  if (!dated) {
    VARQUIN_ASSIGN_OR_RETURN(dated, modified_at(root, name, kFailure));
  }
  if (!dated || !is_expired(*dated, now)) return {};
  auto removed = root.remove_file(name);
  if (!removed && !platform::means_absent(removed.error()))
    return staging_failed(kFailure)(removed.error());
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
        VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(root, name));
        if (!stage) return {};
        VARQUIN_ASSIGN_OR_RETURN(auto manifest, validated_manifest_for_directory(*stage));
        if (manifest) usage.bytes = saturating_add(usage.bytes, manifest->size_bytes);
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
