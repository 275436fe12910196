// Starting the desktop app on a staged manifest through the launcher (/usr/bin/open on macOS).
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "error.h"
#include "platform/spawn.h"

namespace varquin {

// The launcher program compiled in (the VARQUIN_LAUNCHER cache variable).
const char* launcher_program();

// "-n", bundle, "--args", "--varquin-browser-import=" + manifest path (lossy UTF-8).
std::vector<std::string> launch_arguments(const std::string& app_bundle_path,
                                          const std::string& manifest_path);

// "exit status: N", or "signal: N (SIGNAME)".
std::string describe_exit_status(const platform::ExitStatus& status);

// Runs the compiled-in launcher and waits for it; only a normal exit with code 0 is success.
// The launcher's stdin is /dev/null and its stdout is our stderr: the protocol pipe stays ours.
Status launch_varquin(const BridgeConfig& config, const std::string& manifest_path);

// `launch_varquin` with an explicit launcher program (tests run other launchers through it).
Status launch_with(const std::string& program, const BridgeConfig& config,
                   const std::string& manifest_path);

}  // namespace varquin
