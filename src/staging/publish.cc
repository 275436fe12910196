#include "staging/publish.h"

#include "platform/clock.h"
#include "platform/fs.h"
#include "staging/capacity.h"
#include "staging/layout.h"
#include "staging/lock.h"
#include "staging/records.h"
#include "util/path.h"
#include "util/rfc3339.h"

namespace varquin::staging {

namespace {

// The places one request occupies in the store.
struct RequestPaths {
  std::string stage_directory;
  std::string staged_file;  // after publication
  std::string manifest;
  std::string terminal_record;
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

// Answers a request that the store already knows: from its terminal record or its stage.
// None when the request is new.
Result<std::optional<StageOutcome>> earlier_outcome(const StageRequest& request,
                                                    const StagingCandidate& candidate,
                                                    const RequestPaths& paths) {
  const std::string request_id(request.request_id);
  if (platform::stat_path(paths.terminal_record)) {
    auto record = read_json<TerminalRecord>(paths.terminal_record);
    if (!record) return std::unexpected(record.error());
    if (!terminal_matches(*record, request.request_id, candidate, request.sha256)) {
      return fail("The browser import request ID was already finalized with different data",
                  ErrorCode::RequestConflict);
    }
    return StageOutcome{request_id, std::nullopt, false, StageKind::AlreadyFinalized};
  }
  const std::string& probe =
      request.reuse_rule == ReuseRule::StageDirectory ? paths.stage_directory : paths.manifest;
  if (!platform::stat_path(probe)) return std::nullopt;
  auto manifest = read_json<ImportManifest>(paths.manifest);
  if (!manifest) return std::unexpected(manifest.error());
  if (!reusable(*manifest, request, candidate, paths)) {
    return fail("The browser import request ID already contains different or incomplete data",
                ErrorCode::RequestConflict);
  }
  return StageOutcome{request_id, paths.manifest, false, StageKind::Reused};
}

// Fills the incoming directory and renames it onto the stage directory. The staged file's handle
// is closed when this returns, whatever the result.
Status build_and_publish(const std::string& incoming, const StageRequest& request,
                         const StagingCandidate& candidate, const RequestPaths& paths,
                         util::Instant now, const FillStagedFile& fill) {
  const std::string staged_path = util::join_path(incoming, request.original_name);
  auto staged_fd = platform::create_exclusive_file(staged_path);
  if (!staged_fd) return staging_failure("Unable to create staged file: ", staged_fd.error());
  StagedFile staged{*staged_fd, staged_path};
  if (auto filled = fill(staged); !filled) return filled;

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
  if (auto written = write_atomic_json(util::join_path(incoming, kManifestName), manifest);
      !written) {
    return written;
  }
  if (auto renamed = platform::rename_path(incoming, paths.stage_directory); !renamed) {
    return staging_failure("Unable to publish browser import request: ", renamed.error());
  }
  return {};
}

}  // namespace

Result<StageOutcome> publish_stage(const BridgeConfig& config, const StageRequest& request,
                                   const FillStagedFile& fill) {
  const StorePaths store{config.electron_user_data_path};
  const std::string imports_root = store.imports_root();
  const std::string terminals_root = store.terminals_root();
  if (auto created = platform::create_directories(imports_root); !created) {
    return staging_failure("Unable to create browser import root: ", created.error());
  }
  if (auto created = platform::create_directories(terminals_root); !created) {
    return staging_failure("Unable to create terminal root: ", created.error());
  }

  // Held to the end of this call, on every path.
  auto lock = acquire_staging_lock(imports_root);
  if (!lock) return std::unexpected(lock.error());
  // One instant drives expiry and dates the new manifest.
  const util::Instant now = platform::utc_now();
  if (auto purged = purge_expired(imports_root, terminals_root, now); !purged) {
    return std::unexpected(purged.error());
  }

  const std::string stage_directory = store.stage_directory(request.request_id);
  const RequestPaths paths{
      .stage_directory = stage_directory,
      .staged_file = util::join_path(stage_directory, request.original_name),
      .manifest = store.manifest_path(request.request_id),
      .terminal_record = store.terminal_record(request.request_id),
  };
  const StagingCandidate candidate{
      .source_path = request.source_path.value_or(paths.staged_file),
      .original_name = request.original_name,
      .size_bytes = request.size_bytes,
  };

  auto earlier = earlier_outcome(request, candidate, paths);
  if (!earlier) return std::unexpected(earlier.error());
  if (*earlier) return std::move(**earlier);

  auto usage = managed_usage(imports_root, terminals_root);
  if (!usage) return std::unexpected(usage.error());
  if (auto room = check_capacity(*usage, request.size_bytes); !room) {
    return std::unexpected(room.error());
  }

  auto incoming = store.new_incoming_directory(request.request_id);
  if (!incoming) return std::unexpected(incoming.error());
  if (auto created = platform::create_directory(*incoming); !created) {
    return staging_failure("Unable to create temporary request directory: ", created.error());
  }
  if (auto built = build_and_publish(*incoming, request, candidate, paths, now, fill); !built) {
    // Best effort: the original failure is what the caller needs to see.
    (void)platform::remove_tree(*incoming);
    return std::unexpected(built.error());
  }
  return StageOutcome{std::string(request.request_id), paths.manifest, true, StageKind::Staged};
}

}  // namespace varquin::staging
