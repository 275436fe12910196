#include "staging/transaction.h"

#include <memory>

#include "import_format.h"
#include "platform/fd.h"
#include "staging/capacity.h"
#include "staging/errors.h"
#include "staging/incoming.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "staging/request_id.h"
#include "util/path.h"
#include "util/rfc3339.h"

namespace varquin::staging {

namespace {

// Builds the stage in the incoming directory: the staged file (by `fill`), then the manifest,
// all of it durable. The staged file's handle is closed when this returns, whatever the result.
Status fill_incoming(const Store& store, const IncomingStage& incoming, const StageRequest& request,
                     const StagingCandidate& candidate, const FillStagedFile& fill) {
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
      .file_path =
          util::join_path(store.paths().stage_directory(request.request_id), request.original_name),
      .original_name = std::string(request.original_name),
      .size_bytes = request.size_bytes,
      .sha256 = std::string(request.sha256),
      // The request's one instant, which also drives its expiry.
      .created_at = util::format_rfc3339_offset(store.now()),
      .temporary = true,
  };
  VARQUIN_RETURN_IF_ERROR(write_atomic_json(directory, kManifestName, manifest));
  // The names inside, on stable storage before the directory is published.
  VARQUIN_RETURN_IF_ERROR(platform::full_sync(directory.fd()),
                          staging_failed("Unable to persist request manifest: "));
  return {};
}

// What the store already answers for the request, decided under the lock. None: build it.
Result<std::optional<StageOutcome>> answer_if_known(Store& store, const StageRequest& request,
                                                    const StagingCandidate& candidate) {
  VARQUIN_ASSIGN_OR_RETURN(const bool may_know, store.may_know(request.request_id));
  if (!may_know) return std::optional<StageOutcome>();
  VARQUIN_ASSIGN_OR_RETURN(auto held, store.lock());
  VARQUIN_RETURN_IF_ERROR(store.purge_expired(held, {request.request_id, {}}));
  return store.earlier_answer(held, request, candidate);
}

// Under the lock: expiry and the census, the earlier answer, capacity, and the rename.
Result<StageOutcome> decide_and_publish(const std::shared_ptr<Store>& store,
                                        IncomingStage& incoming, const StageRequest& request,
                                        const StagingCandidate& candidate) {
  VARQUIN_ASSIGN_OR_RETURN(auto held, store->lock());
  VARQUIN_ASSIGN_OR_RETURN(auto usage,
                           store->purge_expired(held, {request.request_id, incoming.name()}));
  // Another bridge may have answered it meanwhile: its answer stands, this build is discarded.
  VARQUIN_ASSIGN_OR_RETURN(auto earlier, store->earlier_answer(held, request, candidate));
  if (earlier) return std::move(*earlier);
  VARQUIN_RETURN_IF_ERROR(check_capacity(usage, request.size_bytes));
  VARQUIN_RETURN_IF_ERROR(store->publish(held, incoming, request.request_id));
  return StageOutcome{std::string(request.request_id),
                      store->paths().manifest_path(request.request_id),
                      true,
                      StageKind::Staged,
                      incoming.identity(),
                      store};
}

}  // namespace

Result<StageOutcome> run_staging_transaction(const BridgeConfig& config,
                                             const StageRequest& request,
                                             const FillStagedFile& fill) {
  VARQUIN_ASSIGN_OR_RETURN(auto opened, Store::open(StorePaths{config.electron_user_data_path}));
  // Shared with a created outcome, so that a rollback works in the roots already held open.
  const auto store = std::make_shared<Store>(std::move(opened));
  const std::string staged_file =
      util::join_path(store->paths().stage_directory(request.request_id), request.original_name);
  const StagingCandidate candidate{
      .source_path = request.source_path.value_or(staged_file),
      .original_name = request.original_name,
      .size_bytes = request.size_bytes,
  };

  // Nothing is built for a request the store already answers.
  auto known = answer_if_known(*store, request, candidate);
  store->remove_retired();
  if (!known) return std::unexpected(std::move(known).error());
  if (*known) return std::move(**known);

  // Built before the lock: the lock is held only to decide and to rename, whatever the size.
  VARQUIN_ASSIGN_OR_RETURN(auto incoming, store->begin_incoming(request.request_id));
  VARQUIN_RETURN_IF_ERROR(fill_incoming(*store, incoming, request, candidate, fill));
  auto outcome = decide_and_publish(store, incoming, request, candidate);
  store->remove_retired();
  return outcome;
}

Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome) {
  if (!outcome.created) return {};
  const StorePaths paths{config.electron_user_data_path};
  if (!outcome.manifest_path) {
    return fail("A new stage has no manifest path", ErrorCode::StagingFailed);
  }
  // An ID that is not one could name a directory outside the imports root.
  if (!validate_request_id(outcome.request_id) ||
      !util::same_path(*outcome.manifest_path, paths.manifest_path(outcome.request_id))) {
    return fail("Refusing to roll back an unexpected request path", ErrorCode::StagingFailed);
  }
  constexpr std::string_view kFailure = "Unable to roll back failed browser import launch: ";
  if (outcome.store) {
    return outcome.store->retire(outcome.request_id, outcome.stage_identity, kFailure);
  }
  VARQUIN_ASSIGN_OR_RETURN(auto store, Store::open_existing(paths));
  if (!store) return staging_failed(kFailure)(platform::OsError{ENOENT});
  return store->retire(outcome.request_id, outcome.stage_identity, kFailure);
}

}  // namespace varquin::staging
