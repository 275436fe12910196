#include "staging/store.h"

#include "platform/clock.h"
#include "platform/fd.h"
#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/request_id.h"
#include "staging/retire.h"
#include "staging/stage_check.h"
#include "util/path.h"
#include "util/uuid.h"

namespace varquin::staging {

namespace {

constexpr std::string_view kExpireStageFailure = "Unable to expire browser import: ";
constexpr std::string_view kExpireIncomingFailure = "Unable to expire incoming browser import: ";
constexpr std::string_view kExpireRecordFailure = "Unable to expire terminal record: ";

Result<platform::Directory> create_root(const std::string& path, std::string_view failure) {
  auto root = platform::Directory::create(path);
  if (root) return std::move(*root);
  if (root.error().number == ELOOP) return symlinked_path_failure();
  return staging_failed(failure)(root.error());
}

std::unexpected<BridgeError> different_data() {
  return fail("The browser import request ID already contains different or incomplete data",
              ErrorCode::RequestConflict);
}

// The request ID an incoming directory was made for.
std::string_view incoming_request_id(std::string_view name) {
  return name.substr(kIncomingPrefix.size(), 36);
}

// The request ID a stage directory is retired under: its name, or a fresh one for a directory of
// any other name, whose retired name could pass the longest a name may be (failing every purge
// from then on) and would not be swept as retired.
Result<std::string> retired_request_id(std::string_view stage_name) {
  if (check_request_id(stage_name) == RequestIdFault::None) return std::string(stage_name);
  VARQUIN_ASSIGN_OR_RETURN(auto uuid, util::random_uuid_v4(), staging_failed(kExpireStageFailure));
  return util::format_uuid_hyphenated(uuid);
}

}  // namespace

Result<Store> Store::open(const StorePaths& paths) {
  return open(paths, platform::utc_now());
}

Result<Store> Store::open(const StorePaths& paths, util::Instant now) {
  VARQUIN_ASSIGN_OR_RETURN(
      auto imports, create_root(paths.imports_root(), "Unable to create browser import root: "));
  VARQUIN_ASSIGN_OR_RETURN(auto terminals,
                           create_root(paths.terminals_root(), "Unable to create terminal root: "));
  return Store(paths, std::move(imports), std::move(terminals), now);
}

Result<std::optional<Store>> Store::open_existing(const StorePaths& paths, util::Instant now) {
  VARQUIN_ASSIGN_OR_RETURN(auto roots, open_existing_roots(paths));
  if (!roots.imports || !roots.terminals) return std::optional<Store>();
  return std::optional<Store>(
      Store(paths, std::move(*roots.imports), std::move(*roots.terminals), now));
}

Result<Store::Held> Store::lock() const {
  VARQUIN_ASSIGN_OR_RETURN(auto lock, acquire_staging_lock(imports_));
  return Held(std::move(lock));
}

Result<bool> Store::may_know(std::string_view request_id) const {
  VARQUIN_ASSIGN_OR_RETURN(const bool record,
                           entry_present(terminals_, std::string(request_id) + ".json"));
  if (record) return true;
  return entry_present(imports_, request_id);
}

Result<std::vector<StoreEntry>> Store::survey() const {
  return survey_store(imports_, terminals_);
}

Status Store::expire(const StoreEntry& entry) {
  switch (entry.kind) {
    case StoreEntry::Kind::Retired:
      retired_.push_back(entry.name);
      return {};
    case StoreEntry::Kind::TerminalRecord: {
      auto removed = terminals_.remove_file(entry.name);
      if (!removed && !platform::means_absent(removed.error())) {
        return staging_failed(kExpireRecordFailure)(removed.error());
      }
      return {};
    }
    case StoreEntry::Kind::Incoming:
    case StoreEntry::Kind::Stage: {
      const bool incoming = entry.kind == StoreEntry::Kind::Incoming;
      std::string request_id;
      if (incoming) {
        request_id = incoming_request_id(entry.name);
      } else {
        VARQUIN_ASSIGN_OR_RETURN(request_id, retired_request_id(entry.name));
      }
      VARQUIN_ASSIGN_OR_RETURN(
          auto retired, rename_retired(imports_, entry.name, request_id, entry.identity,
                                       incoming ? kExpireIncomingFailure : kExpireStageFailure));
      if (retired) retired_.push_back(std::move(*retired));
      return {};
    }
  }
  return {};
}

Result<StoreUsage> Store::purge_expired(const Held&, const OwnEntries& own) {
  VARQUIN_ASSIGN_OR_RETURN(auto entries, survey_store(imports_, terminals_, own));
  for (const StoreEntry& entry : entries) {
    if (entry.expired(now_)) VARQUIN_RETURN_IF_ERROR(expire(entry));
  }
  return usage_of(entries, now_);
}

Status Store::remove_entry(const Held&, const StoreEntry& entry) {
  return expire(entry);
}

Result<std::optional<StageOutcome>> Store::finalized_answer(const StageRequest& request,
                                                            const StagingCandidate& candidate) {
  const std::string request_id(request.request_id);
  const std::string name = request_id + ".json";
  VARQUIN_ASSIGN_OR_RETURN(const bool present, entry_present(terminals_, name));
  if (!present) return std::optional<StageOutcome>();
  auto record = read_json<TerminalRecord>(terminals_, name);
  VARQUIN_ASSIGN_OR_RETURN(auto entry, judge_terminal(terminals_, name, record));
  if (entry.expired(now_)) {
    VARQUIN_RETURN_IF_ERROR(expire(entry));
    return std::optional<StageOutcome>();
  }
  VARQUIN_ASSIGN_OR_RETURN(auto found, std::move(record));
  if (!terminal_matches(found, request.request_id, candidate, request.sha256)) {
    return fail("The browser import request ID was already finalized with different data",
                ErrorCode::RequestConflict);
  }
  return StageOutcome{request_id,   std::nullopt, false, StageKind::AlreadyFinalized,
                      std::nullopt, nullptr};
}

Result<std::optional<StageOutcome>> Store::stage_answer(const StageRequest& request,
                                                        const StagingCandidate& candidate) {
  const std::string request_id(request.request_id);
  const std::string manifest_path = paths_.manifest_path(request_id);
  VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(imports_, request_id));
  std::optional<Result<ImportManifest>> manifest;
  if (stage) {
    // An expired stage is no answer: it goes first, as a purge would have taken it.
    manifest = read_json<ImportManifest>(*stage, kManifestName);
    VARQUIN_ASSIGN_OR_RETURN(auto entry, judge_stage(request_id, *stage, *manifest));
    if (entry.expired(now_)) {
      VARQUIN_RETURN_IF_ERROR(expire(entry));
      return std::optional<StageOutcome>();
    }
  }
  // Uploads look for the stage directory; downloads for its manifest (a stage directory without
  // one is staged over by the rename, or refused by it).
  bool known = false;
  if (request.reuse_rule == ReuseRule::StageDirectory) {
    VARQUIN_ASSIGN_OR_RETURN(known, entry_present(imports_, request_id));
  } else if (stage) {
    VARQUIN_ASSIGN_OR_RETURN(known, entry_present(*stage, kManifestName));
  } else {
    VARQUIN_ASSIGN_OR_RETURN(known, path_present(manifest_path));
  }
  if (!known) return std::optional<StageOutcome>();
  // A stage name that cannot be entered as a directory (a link, a file) is read by path, which
  // refuses it as it always has.
  if (!manifest) manifest = read_json<ImportManifest>(manifest_path);
  VARQUIN_ASSIGN_OR_RETURN(auto found, std::move(*manifest));
  if (!stage || !manifest_matches(found, request.request_id, candidate, request.sha256)) {
    return different_data();
  }
  if (request.reuse_rule == ReuseRule::StageDirectory &&
      !util::same_path(found.file_path, util::join_path(paths_.stage_directory(request_id),
                                                        request.original_name))) {
    return different_data();
  }
  // A stage whose file is gone, cut short, rewritten or replaced is never answered as reused, nor
  // rebuilt in place.
  VARQUIN_ASSIGN_OR_RETURN(const bool intact, staged_file_intact(*stage, found));
  if (!intact) return different_data();
  return StageOutcome{request_id, manifest_path, false, StageKind::Reused, std::nullopt, nullptr};
}

Result<std::optional<StageOutcome>> Store::earlier_answer(const Held&, const StageRequest& request,
                                                          const StagingCandidate& candidate) {
  VARQUIN_ASSIGN_OR_RETURN(auto finalized, finalized_answer(request, candidate));
  if (finalized) return finalized;
  return stage_answer(request, candidate);
}

Result<IncomingStage> Store::begin_incoming(std::string_view request_id) const {
  return IncomingStage::create(*this, request_id);
}

Status Store::publish(const Held&, IncomingStage& incoming, std::string_view request_id) const {
  return incoming.publish(request_id);
}

Status Store::retire(std::string_view request_id, std::optional<platform::FileIdentity> expected,
                     std::string_view failure_prefix) const {
  const Prefixed failure = staging_failed(failure_prefix);
  if (!expected) {
    VARQUIN_ASSIGN_OR_RETURN(const struct stat found, imports_.stat(request_id), failure);
    expected = platform::identity_of(found);
  }
  VARQUIN_ASSIGN_OR_RETURN(
      auto retired, rename_retired(imports_, request_id, request_id, *expected, failure_prefix));
  // A stage that is not there could not be removed.
  if (!retired) return failure(platform::OsError{ENOENT});
  VARQUIN_RETURN_IF_ERROR(staging::remove_retired(imports_, *retired), failure);
  return {};
}

void Store::remove_retired() {
  for (const std::string& name : retired_) (void)staging::remove_retired(imports_, name);
  retired_.clear();
}

}  // namespace varquin::staging
