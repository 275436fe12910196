#include "staging/transaction.h"

#include "import_format.h"
#include "platform/clock.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "platform/tree.h"
#include "staging/capacity.h"
#include "staging/errors.h"
#include "staging/incoming.h"
#include "staging/lock.h"
#include "staging/paths.h"
#include "staging/race.h"
#include "staging/records.h"
#include "staging/request_id.h"
#include "util/path.h"
#include "util/rfc3339.h"

namespace varquin::staging {

namespace {

// The places one request occupies in the store.
struct RequestPaths {
  std::string stage_directory;
  std::string staged_file;  // after publication
  std::string manifest;
};

bool reusable(const ImportManifest& manifest, const StageRequest& request,
              const StagingCandidate& candidate, const RequestPaths& paths) {
  if (!manifest_matches(manifest, request.request_id, candidate, request.sha256)) return false;
  if (request.reuse_rule == ReuseRule::StageDirectory &&
      !util::same_path(manifest.file_path, paths.staged_file)) {
    return false;
  }
  // A stage whose file is gone or replaced is incomplete: never rebuilt in place.
  auto target = platform::stat_path(manifest.file_path);
  if (!target || !S_ISREG(target->st_mode)) return false;
  if (request.reuse_rule == ReuseRule::ManifestFile) {
    auto own = platform::lstat_path(manifest.file_path);
    if (!own || S_ISLNK(own->st_mode)) return false;
  }
  return true;
}

// The manifest of an existing stage, read through the stage directory held open. A stage name
// that cannot be entered as a directory is read by path, which refuses it as it always has.
Result<ImportManifest> existing_manifest(const platform::Directory& imports_root,
                                         const StageRequest& request, const RequestPaths& paths) {
  auto stage = imports_root.open_directory(request.request_id);
  if (!stage) return read_json<ImportManifest>(paths.manifest);
  return read_json<ImportManifest>(*stage, kManifestName);
}

// Answers a request that the store already knows: from its terminal record or its stage.
// None when the request is new.
Result<std::optional<StageOutcome>> earlier_outcome(const StoreRoots& roots,
                                                    const StageRequest& request,
                                                    const StagingCandidate& candidate,
                                                    const RequestPaths& paths) {
  const std::string request_id(request.request_id);
  const std::string terminal_name = request_id + ".json";
  if (roots.terminals.stat_following(terminal_name)) {
    VARQUIN_ASSIGN_OR_RETURN(auto record,
                             read_json<TerminalRecord>(roots.terminals, terminal_name));
    if (!terminal_matches(record, request.request_id, candidate, request.sha256)) {
      return fail("The browser import request ID was already finalized with different data",
                  ErrorCode::RequestConflict);
    }
    return StageOutcome{request_id, std::nullopt, false, StageKind::AlreadyFinalized, std::nullopt};
  }
  const bool known = request.reuse_rule == ReuseRule::StageDirectory
                         ? roots.imports.stat_following(request_id).has_value()
                         : platform::stat_path(paths.manifest).has_value();
  if (!known) return std::nullopt;
  VARQUIN_ASSIGN_OR_RETURN(auto manifest, existing_manifest(roots.imports, request, paths));
  if (!reusable(manifest, request, candidate, paths)) {
    return fail("The browser import request ID already contains different or incomplete data",
                ErrorCode::RequestConflict);
  }
  return StageOutcome{request_id, paths.manifest, false, StageKind::Reused, std::nullopt};
}

// Fills the incoming directory: the staged file (by `fill`), then the manifest. The staged file's
// handle is closed when this returns, whatever the result.
Status fill_incoming(const IncomingStage& incoming, const StageRequest& request,
                     const StagingCandidate& candidate, const RequestPaths& paths,
                     util::Instant now, const FillStagedFile& fill) {
  const platform::Directory& directory = incoming.directory();
  VARQUIN_ASSIGN_OR_RETURN(auto staged_fd, directory.create_file(request.original_name),
                           staging_failed("Unable to create staged file: "));
  StagedFile staged{staged_fd, directory, request.original_name};
  VARQUIN_RETURN_IF_ERROR(fill(staged));

  const ImportManifest manifest{
      .schema = std::string(kImportSchema),
      .request_id = std::string(request.request_id),
      .source = std::string(kGmailSource),
      .original_source_path = std::string(candidate.source_path),
      // Where the file will be once the directory is published, not where it is now.
      .file_path = paths.staged_file,
      .original_name = std::string(request.original_name),
      .size_bytes = request.size_bytes,
      .sha256 = std::string(request.sha256),
      .created_at = util::format_rfc3339_offset(now),
      .temporary = true,
  };
  return write_atomic_json(directory, kManifestName, manifest);
}

}  // namespace

Result<StageOutcome> run_staging_transaction(const BridgeConfig& config,
                                             const StageRequest& request,
                                             const FillStagedFile& fill) {
  const StorePaths store{config.electron_user_data_path};
  VARQUIN_ASSIGN_OR_RETURN(auto roots, create_store_roots(store));

  // Held to the end of this call, on every path; the incoming stage below goes before it.
  VARQUIN_ASSIGN_OR_RETURN(auto lock, acquire_staging_lock(roots.imports));
  // One instant drives expiry and dates the new manifest.
  const util::Instant now = platform::utc_now();
  VARQUIN_RETURN_IF_ERROR(purge_expired(roots.imports, roots.terminals, now));

  const std::string stage_directory = store.stage_directory(request.request_id);
  const RequestPaths paths{
      .stage_directory = stage_directory,
      .staged_file = util::join_path(stage_directory, request.original_name),
      .manifest = store.manifest_path(request.request_id),
  };
  const StagingCandidate candidate{
      .source_path = request.source_path.value_or(paths.staged_file),
      .original_name = request.original_name,
      .size_bytes = request.size_bytes,
  };

  VARQUIN_ASSIGN_OR_RETURN(auto earlier, earlier_outcome(roots, request, candidate, paths));
  if (earlier) return std::move(*earlier);

  VARQUIN_ASSIGN_OR_RETURN(auto usage, managed_usage(roots.imports, roots.terminals));
  VARQUIN_RETURN_IF_ERROR(check_capacity(usage, request.size_bytes));

  // Discarded when it goes out of scope unpublished.
  VARQUIN_ASSIGN_OR_RETURN(auto incoming, IncomingStage::create(roots.imports, request.request_id));
  VARQUIN_RETURN_IF_ERROR(fill_incoming(incoming, request, candidate, paths, now, fill));
  VARQUIN_RETURN_IF_ERROR(incoming.publish(request.request_id));
  return StageOutcome{std::string(request.request_id), paths.manifest, true, StageKind::Staged,
                      incoming.identity()};
}

Status retire_stage(const platform::Directory& imports_root, std::string_view request_id,
                    std::optional<platform::FileIdentity> expected,
                    std::string_view failure_prefix) {
  const Prefixed failure = staging_failed(failure_prefix);
  if (!expected) {
    VARQUIN_ASSIGN_OR_RETURN(const struct stat found, imports_root.stat(request_id), failure);
    expected = platform::identity_of(found);
  }
  VARQUIN_ASSIGN_OR_RETURN(auto retired, new_incoming_name(request_id));
  race_point(RacePoint::StageRetire);
  // Removing the files in place would let a crash or a failed unlink leave a stage without its
  // manifest, which never expires, or a manifest without its file.
  VARQUIN_RETURN_IF_ERROR(imports_root.rename(request_id, retired), failure);
  auto moved = imports_root.stat(retired);
  if (!moved || platform::identity_of(*moved) != *expected) {
    (void)imports_root.rename(retired, request_id);
    return fail(failure_prefix, "the stage was replaced while it was being removed",
                ErrorCode::StagingFailed);
  }
  VARQUIN_RETURN_IF_ERROR(platform::remove_tree(imports_root, retired), failure);
  return {};
}

Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome) {
  if (!outcome.created) return {};
  const StorePaths store{config.electron_user_data_path};
  if (!outcome.manifest_path) {
    return fail("A new stage has no manifest path", ErrorCode::StagingFailed);
  }
  // An ID that is not one could name a directory outside the imports root.
  if (!validate_request_id(outcome.request_id) ||
      !util::same_path(*outcome.manifest_path, store.manifest_path(outcome.request_id))) {
    return fail("Refusing to roll back an unexpected request path", ErrorCode::StagingFailed);
  }
  constexpr std::string_view kFailure = "Unable to roll back failed browser import launch: ";
  VARQUIN_ASSIGN_OR_RETURN(auto imports_root, platform::Directory::open(store.imports_root()),
                           staging_failed(kFailure));
  return retire_stage(imports_root, outcome.request_id, outcome.stage_identity, kFailure);
}

}  // namespace varquin::staging
