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
#include "staging/retire.h"
#include "staging/stage_check.h"
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

std::unexpected<BridgeError> different_data() {
  return fail("The browser import request ID already contains different or incomplete data",
              ErrorCode::RequestConflict);
}

// The manifest of an existing stage, through the stage directory held open; a stage name that
// cannot be entered as a directory (a link, a file) is read by path, which refuses it as it always
// has.
Result<ImportManifest> existing_manifest(const std::optional<platform::Directory>& stage,
                                         const RequestPaths& paths) {
  if (!stage) return read_json<ImportManifest>(paths.manifest);
  return read_json<ImportManifest>(*stage, kManifestName);
}

// Whether the request has a stage to judge. Uploads look for the stage directory; downloads for
// its manifest (a stage directory without one is staged over by the rename, or refused by it).
Result<bool> stage_known(const StoreRoots& roots, const std::optional<platform::Directory>& stage,
                         const StageRequest& request, const RequestPaths& paths) {
  if (request.reuse_rule == ReuseRule::StageDirectory) {
    return entry_present(roots.imports, request.request_id);
  }
  if (stage) return entry_present(*stage, kManifestName);
  return path_present(paths.manifest);
}

// The earlier stage is this request's own, whole: the manifest matches, and the staged file is
// the one it describes (a stage whose file is gone, cut short, rewritten or replaced is never
// answered as reused, nor rebuilt in place).
Result<bool> reusable(const std::optional<platform::Directory>& stage,
                      const ImportManifest& manifest, const StageRequest& request,
                      const StagingCandidate& candidate, const RequestPaths& paths) {
  if (!manifest_matches(manifest, request.request_id, candidate, request.sha256)) return false;
  if (request.reuse_rule == ReuseRule::StageDirectory &&
      !util::same_path(manifest.file_path, paths.staged_file)) {
    return false;
  }
  if (!stage) return false;
  return staged_file_intact(*stage, manifest);
}

// Answers a request that the store already knows: from its terminal record or its stage.
// None when the request is new.
Result<std::optional<StageOutcome>> earlier_outcome(const StoreRoots& roots,
                                                    const StageRequest& request,
                                                    const StagingCandidate& candidate,
                                                    const RequestPaths& paths) {
  const std::string request_id(request.request_id);
  const std::string terminal_name = request_id + ".json";
  VARQUIN_ASSIGN_OR_RETURN(const bool finalized, entry_present(roots.terminals, terminal_name));
  if (finalized) {
    VARQUIN_ASSIGN_OR_RETURN(auto record,
                             read_json<TerminalRecord>(roots.terminals, terminal_name));
    if (!terminal_matches(record, request.request_id, candidate, request.sha256)) {
      return fail("The browser import request ID was already finalized with different data",
                  ErrorCode::RequestConflict);
    }
    return StageOutcome{request_id, std::nullopt, false, StageKind::AlreadyFinalized, std::nullopt};
  }
  VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(roots.imports, request_id));
  VARQUIN_ASSIGN_OR_RETURN(const bool known, stage_known(roots, stage, request, paths));
  if (!known) return std::nullopt;
  VARQUIN_ASSIGN_OR_RETURN(auto manifest, existing_manifest(stage, paths));
  VARQUIN_ASSIGN_OR_RETURN(const bool reuse, reusable(stage, manifest, request, candidate, paths));
  if (!reuse) return different_data();
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
