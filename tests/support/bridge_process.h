// Runs the built bridge executable as the browser does: arguments, environment, pipes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace varquin::testing {

struct BridgeRun {
  std::vector<std::string> arguments;              // after the program path
  std::map<std::string, std::string> environment;  // the whole environment of the child
  std::string input;                               // bytes written to stdin
  bool close_input = true;    // false: keep stdin open until the bridge exits by itself
  bool close_output = false;  // true: the reader of stdout is gone before the first response
  std::string executable = VARQUIN_BRIDGE_EXE;
};

struct BridgeResult {
  std::string output;  // raw stdout
  std::string error;   // raw stderr
  int exit_status = -1;
  bool timed_out = false;
};

BridgeResult run_bridge(const BridgeRun& run, int timeout_seconds = 60);
// The installer with `arguments`, for a person whose HOME is `home`.
BridgeResult run_installer(const std::string& home, std::vector<std::string> arguments);

std::string frame(const std::string& json);
// Splits framed output into payloads; a trailing partial frame is returned as "<partial>".
std::vector<std::string> unframe(const std::string& bytes);

}  // namespace varquin::testing
