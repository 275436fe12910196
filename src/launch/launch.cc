#include "launch/launch.h"

#include "util/path.h"
#include "util/utf8.h"

#ifndef VARQUIN_LAUNCHER
#error "VARQUIN_LAUNCHER must name the program that starts the desktop app"
#endif

namespace varquin {

namespace {

constexpr std::string_view kImportFlag = "--varquin-browser-import=";

std::unexpected<BridgeError> launch_failure(std::string message) {
  return fail(std::move(message), ErrorCode::AppLaunchFailed);
}

}  // namespace

const char* launcher_program() {
  return VARQUIN_LAUNCHER;
}

std::vector<std::string> launch_arguments(const std::string& app_bundle_path,
                                          const std::string& manifest_path) {
  // The app parses its flag as text, so the path goes over as (lossy) UTF-8, never quoted.
  std::string flag(kImportFlag);
  flag += util::utf8_lossy(manifest_path);
  return {"-n", app_bundle_path, "--args", std::move(flag)};
}

std::string describe_exit_status(const platform::ExitStatus& status) {
  if (status.exited) return "exit status: " + std::to_string(status.exit_code);
  std::string text = "signal: " + std::to_string(status.signal);
  if (const char* name = platform::signal_name(status.signal)) {
    text += " (";
    text += name;
    text += ')';
  }
  return text;
}

Status launch_varquin(const BridgeConfig& config, const std::string& manifest_path) {
  return launch_with(launcher_program(), config, manifest_path);
}

Status launch_with(const std::string& program, const BridgeConfig& config,
                   const std::string& manifest_path) {
  if (!util::is_absolute(manifest_path)) {
    return launch_failure("The browser import manifest path is not absolute");
  }
  // A validated configuration always has the bundle path; guard the unvalidated case anyway.
  if (!config.app_bundle_path) {
    return launch_failure("Browser bridge config is missing the macOS app bundle path");
  }
  VARQUIN_ASSIGN_OR_RETURN(const platform::ExitStatus exit,
                           platform::run_detached_from_stdio(
                               program, launch_arguments(*config.app_bundle_path, manifest_path)),
                           Prefixed{"Unable to launch Varquin: ", ErrorCode::AppLaunchFailed});
  if (!exit.exited || exit.exit_code != 0) {
    return launch_failure("Varquin launcher exited with " + describe_exit_status(exit));
  }
  return {};
}

}  // namespace varquin
