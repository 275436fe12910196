#include "download.h"

#include "launch/launch.h"
#include "staging/cleanup.h"
#include "staging/stage_download.h"
#include "staging/transaction.h"

namespace varquin {

using protocol::HostResponse;
namespace status = protocol::status;

Result<HostResponse> stage_download(const BridgeConfig& config,
                                    const protocol::StageDownload& request,
                                    const DiagnosticSink& diagnostics) {
  VARQUIN_ASSIGN_OR_RETURN(auto outcome,
                           staging::stage_download(config, request.request_id, request.file_path,
                                                   request.original_name));
  if (outcome.kind == staging::StageKind::AlreadyFinalized) {
    return HostResponse::success(request.request_id, status::kAlreadyFinalized).with_reused(true);
  }
  if (!outcome.manifest_path) {
    return fail("The staged browser import has no manifest", ErrorCode::StagingFailed);
  }
  auto launched = launch_varquin(config, *outcome.manifest_path);
  if (!launched) {
    // Only a stage this request created is removed; the browser hears the launch error either way.
    if (auto rolled_back = staging::rollback_new_stage(config, outcome); !rolled_back) {
      diagnostics("Varquin browser bridge rollback failed for " + request.request_id + ": " +
                  rolled_back.error().message + "\n");
    }
    return std::unexpected(launched.error());
  }
  return HostResponse::success(request.request_id, status::kStagedAndLaunched)
      .with_reused(outcome.kind == staging::StageKind::Reused);
}

Result<HostResponse> cleanup_download_container(const protocol::CleanupDownloadContainer& request) {
  VARQUIN_RETURN_IF_ERROR(
      staging::cleanup_download_container(request.request_id, request.request_directory_path));
  return HostResponse::success(request.request_id, status::kDownloadContainerCleaned);
}

}  // namespace varquin
