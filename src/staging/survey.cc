#include "staging/survey.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/request_id.h"
#include "staging/stage_check.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

using platform::Directory;
using platform::EntryKind;

// A failure with the system's description alone.
constexpr Prefixed kBareFailure = staging_failed("");

bool is_hidden_name(std::string_view name) {
  return !name.empty() && name.front() == '.' && util::is_valid_utf8(name);
}

// The entry's own metadata, links not followed, into `info`; false when it is gone. Only the
// environment fails.
Result<bool> metadata(const Directory& root, std::string_view name, struct stat& info) {
  auto found = root.stat(name);
  if (found) {
    info = *found;
    return true;
  }
  if (found.error().environmental()) return kBareFailure(found.error());
  return false;
}

// An entry dated by its own modification time; none when it is gone.
Result<std::optional<StoreEntry>> dated_by_itself(const Directory& root, StoreEntry::Kind kind,
                                                  std::string_view name) {
  struct stat info {};
  VARQUIN_ASSIGN_OR_RETURN(const bool present, metadata(root, name, info));
  if (!present) return std::optional<StoreEntry>();
  return StoreEntry{
      kind, std::string(name), platform::identity_of(info), platform::modification_time(info), true,
      0};
}

// The request ID a terminal file may be dated under, when its name is one.
std::optional<std::string_view> terminal_request_id(std::string_view file_name) {
  std::string_view stem = name_without_extension(file_name);
  if (!util::is_valid_utf8(stem) || !validate_request_id(stem)) return std::nullopt;
  return stem;
}

// An incoming directory: dated by itself, adding the regular files below it.
Result<std::optional<StoreEntry>> judge_incoming(const Directory& imports, std::string_view name) {
  VARQUIN_ASSIGN_OR_RETURN(auto entry, dated_by_itself(imports, StoreEntry::Kind::Incoming, name));
  if (!entry) return entry;
  VARQUIN_ASSIGN_OR_RETURN(auto incoming, directory_if_present(imports, name));
  if (!incoming) return std::optional<StoreEntry>();
  auto bytes = regular_file_bytes(*incoming);
  if (!bytes) {
    // Another bridge builds and discards its incoming directory without the lock: one that was
    // taken away while it was measured is no longer there to count.
    struct stat now {};
    VARQUIN_ASSIGN_OR_RETURN(const bool present, metadata(imports, name, now));
    if (!present || platform::identity_of(now) != entry->identity) {
      return std::optional<StoreEntry>();
    }
    return std::unexpected(std::move(bytes).error());
  }
  entry->bytes = *bytes;
  return entry;
}

Result<std::optional<StoreEntry>> judge_stage_entry(const Directory& imports,
                                                    std::string_view name) {
  VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(imports, name));
  if (!stage) return std::optional<StoreEntry>();
  VARQUIN_ASSIGN_OR_RETURN(
      auto entry, judge_stage(name, *stage, read_json<ImportManifest>(*stage, kManifestName)));
  return std::optional<StoreEntry>(std::move(entry));
}

// What an imports-root entry is to the bridge.
enum class ImportsEntry { NotOurs, Retired, Incoming, Stage };

ImportsEntry classify(const platform::DirEntry& entry) {
  if (*entry.kind != EntryKind::Directory) return ImportsEntry::NotOurs;
  if (is_retired_name(entry.name)) return ImportsEntry::Retired;
  // The listing has typed it a directory already, without following a link.
  if (is_incoming_name(entry.name)) return ImportsEntry::Incoming;
  // Other hidden directories are not the bridge's: neither counted nor removed.
  if (is_hidden_name(entry.name)) return ImportsEntry::NotOurs;
  return ImportsEntry::Stage;
}

Result<std::optional<StoreEntry>> judge_imports_entry(const Directory& imports,
                                                      const platform::DirEntry& entry) {
  if (!entry.kind) return kBareFailure(entry.error.value_or(platform::OsError{EIO}));
  switch (classify(entry)) {
    case ImportsEntry::NotOurs:
      return std::optional<StoreEntry>();
    case ImportsEntry::Retired:
      return dated_by_itself(imports, StoreEntry::Kind::Retired, entry.name);
    case ImportsEntry::Incoming:
      return judge_incoming(imports, entry.name);
    case ImportsEntry::Stage:
      return judge_stage_entry(imports, entry.name);
  }
  return std::optional<StoreEntry>();
}

Status survey_imports(const Directory& imports, const OwnEntries& own,
                      std::vector<StoreEntry>& entries) {
  VARQUIN_ASSIGN_OR_RETURN(auto listed, imports.list(), staging_failed(kImportsInspectFailure));
  for (const platform::DirEntry& entry : listed) {
    if (entry.name == own.request_id || entry.name == own.incoming_name) continue;
    VARQUIN_ASSIGN_OR_RETURN(auto judged, judge_imports_entry(imports, entry));
    if (judged) entries.push_back(std::move(*judged));
  }
  return {};
}

Status survey_terminals(const Directory& terminals, const OwnEntries& own,
                        std::vector<StoreEntry>& entries) {
  VARQUIN_ASSIGN_OR_RETURN(auto listed, terminals.list(), staging_failed(kTerminalsInspectFailure));
  const std::string own_record =
      own.request_id.empty() ? "" : std::string(own.request_id) + ".json";
  // An entry that cannot be typed is skipped here, not fatal: the desktop app owns this root.
  for (const platform::DirEntry& entry : listed) {
    if (entry.kind != EntryKind::Regular || entry.name == own_record) continue;
    VARQUIN_ASSIGN_OR_RETURN(
        auto judged,
        judge_terminal(terminals, entry.name, read_json<TerminalRecord>(terminals, entry.name)));
    entries.push_back(std::move(judged));
  }
  return {};
}

// A record the environment kept from being read judges nothing: the survey fails.
template <typename Record>
Status readable_or_refused(const Result<Record>& record) {
  if (!record && record.error().retryable()) return std::unexpected(record.error());
  return {};
}

}  // namespace

bool StoreEntry::expired(util::Instant now) const {
  return kind == Kind::Retired || util::whole_seconds_between(dated, now) >= kExpiryAgeSeconds;
}

bool StoreEntry::blocks(util::Instant now) const {
  return counted() && util::whole_seconds_between(now, dated) > kClockSkewSeconds;
}

util::Instant StoreEntry::expires_at() const {
  // A modification time may be anything: past the largest instant, it never comes.
  constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();
  if (dated.seconds > kLast - kExpiryAgeSeconds) return {kLast, dated.nanoseconds};
  return {dated.seconds + kExpiryAgeSeconds, dated.nanoseconds};
}

Result<StoreEntry> judge_stage(std::string_view name, const Directory& stage,
                               const Result<ImportManifest>& manifest) {
  VARQUIN_RETURN_IF_ERROR(readable_or_refused(manifest));
  VARQUIN_ASSIGN_OR_RETURN(const platform::FileIdentity identity, stage.identity(),
                           staging_failed(kImportsInspectFailure));
  StoreEntry entry{StoreEntry::Kind::Stage, std::string(name), identity, {}, false, 0};
  std::optional<util::Instant> created;
  if (manifest && manifest_accepted(*manifest, stage.path())) {
    entry.bytes = manifest->size_bytes;
    created = util::parse_rfc3339(manifest->created_at);
  }
  if (created) {
    entry.dated = *created;
    return entry;
  }
  // The directory held open, not its name: the name may be gone already.
  VARQUIN_ASSIGN_OR_RETURN(const struct stat info, platform::stat_fd(stage.fd()),
                           staging_failed(kImportsInspectFailure));
  entry.dated = platform::modification_time(info);
  entry.dated_by_itself = true;
  return entry;
}

Result<StoreEntry> judge_terminal(const Directory& terminals, std::string_view name,
                                  const Result<TerminalRecord>& record) {
  VARQUIN_RETURN_IF_ERROR(readable_or_refused(record));
  auto request_id = terminal_request_id(name);
  if (record && request_id && record->request_id == *request_id) {
    if (auto finalized = util::parse_rfc3339(record->finalized_at)) {
      return StoreEntry{
          StoreEntry::Kind::TerminalRecord, std::string(name), {}, *finalized, false, 0};
    }
  }
  VARQUIN_ASSIGN_OR_RETURN(auto entry,
                           dated_by_itself(terminals, StoreEntry::Kind::TerminalRecord, name));
  if (entry) return std::move(*entry);
  return StoreEntry{StoreEntry::Kind::TerminalRecord, std::string(name), {}, {}, true, 0};
}

Result<std::vector<StoreEntry>> survey_store(const Directory& imports, const Directory& terminals,
                                             const OwnEntries& own) {
  std::vector<StoreEntry> entries;
  VARQUIN_RETURN_IF_ERROR(survey_imports(imports, own, entries));
  VARQUIN_RETURN_IF_ERROR(survey_terminals(terminals, own, entries));
  return entries;
}

namespace {

void add(StoreUsage& usage, const StoreEntry& entry) {
  if (entry.kind == StoreEntry::Kind::TerminalRecord) {
    ++usage.terminal_records;
  } else {
    ++usage.stages;
    usage.bytes = saturating_add(usage.bytes, entry.bytes);
  }
}

// Adds the entries `keep` lets through.
template <typename Keep>
StoreUsage count(const std::vector<StoreEntry>& entries, Keep keep) {
  StoreUsage usage;
  for (const StoreEntry& entry : entries) {
    if (entry.counted() && keep(entry)) add(usage, entry);
  }
  return usage;
}

bool earlier(util::Instant a, util::Instant b) {
  return a.seconds != b.seconds ? a.seconds < b.seconds : a.nanoseconds < b.nanoseconds;
}

}  // namespace

StoreUsage usage_of(const std::vector<StoreEntry>& entries, util::Instant now) {
  return count(entries, [now](const StoreEntry& entry) { return !entry.expired(now); });
}

StoreUsage census_of(const std::vector<StoreEntry>& entries) {
  return count(entries, [](const StoreEntry&) { return true; });
}

util::Instant room_from(const std::vector<StoreEntry>& entries, util::Instant now) {
  std::vector<const StoreEntry*> staying;
  for (const StoreEntry& entry : entries) {
    if (entry.counted() && !entry.expired(now)) staying.push_back(&entry);
  }
  std::sort(staying.begin(), staying.end(),
            [](const StoreEntry* a, const StoreEntry* b) { return earlier(a->dated, b->dated); });
  // What stays once the k oldest have expired, for every k: summed from the newest, so that the
  // saturating byte count is never taken back.
  std::vector<StoreUsage> rest(staying.size() + 1);
  for (std::size_t k = staying.size(); k-- > 0;) {
    rest[k] = rest[k + 1];
    add(rest[k], *staying[k]);
  }
  std::size_t k = 0;
  while (!check_capacity(rest[k], 1)) ++k;  // the last is empty, and has room
  return k == 0 ? now : staying[k - 1]->expires_at();
}

Result<std::vector<StoreEntry>> survey_existing(const StorePaths& paths) {
  VARQUIN_ASSIGN_OR_RETURN(auto roots, open_existing_roots(paths));
  std::vector<StoreEntry> entries;
  if (roots.imports) VARQUIN_RETURN_IF_ERROR(survey_imports(*roots.imports, {}, entries));
  if (roots.terminals) VARQUIN_RETURN_IF_ERROR(survey_terminals(*roots.terminals, {}, entries));
  return entries;
}

}  // namespace varquin::staging
