// The download road: a file the browser saved into a managed directory, staged and launched at
// once; later the emptied directory is cleaned up.
#pragma once

#include <functional>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace varquin {

// Where the one diagnostic of this road goes (the rollback failure line on stderr).
using DiagnosticSink = std::function<void(std::string_view line)>;

// Stages the file and launches the desktop app; a failed launch rolls a new stage back.
Result<protocol::HostResponse> stage_download(const BridgeConfig& config,
                                              const protocol::StageDownload& request,
                                              const DiagnosticSink& diagnostics);

Result<protocol::HostResponse> cleanup_download_container(
    const protocol::CleanupDownloadContainer& request);

}  // namespace varquin
