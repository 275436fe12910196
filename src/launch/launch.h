// Starting the desktop app on a staged manifest through the launcher (/usr/bin/open on macOS).
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "error.h"

namespace varquin {

// The launcher program compiled in (the VARQUIN_LAUNCHER cache variable).
const char* launcher_program();

// "-n", bundle, "--args", "--varquin-browser-import=" + manifest path (lossy UTF-8).
std::vector<std::string> launch_arguments(const std::string& app_bundle_path,
                                          const std::string& manifest_path);

// Runs the launcher and waits for it; only a normal exit with code 0 is success.
Status launch_varquin(const BridgeConfig& config, const std::string& manifest_path);

}  // namespace varquin
