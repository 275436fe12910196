// Starting the bridge the way Chrome does (absolute path, the caller origin as the only argument,
// a pipe on stdin and on stdout, stderr shared) and exchanging frames with it. Shared by the
// bridge client and the installer's self-check.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "platform/fd.h"
#include "toolkit/process.h"

namespace varquin::tools {

template <typename T>
using Outcome = base::Expected<T, std::string>;  // a failure a person reads

// The absolute path of the running program, links resolved.
Outcome<std::string> self_executable_path();

// `name` in the directory of the running program: where the installed programs sit together.
Outcome<std::string> sibling_program(std::string_view name);

// `path` made absolute against the working directory, without resolving links.
Outcome<std::string> absolute_as_given(const std::string& path);

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

class BridgeConnection {
 public:
  // Starts `executable` (an absolute path) with `origin` as its one argument, in its own directory
  // (as the browser starts a host), in our environment with `overrides` set.
  static Outcome<BridgeConnection> start(const std::string& executable, const std::string& origin,
                                         const EnvironmentOverrides& overrides = {});

  BridgeConnection(BridgeConnection&& other) noexcept;
  BridgeConnection& operator=(BridgeConnection&&) = delete;
  BridgeConnection(const BridgeConnection&) = delete;
  BridgeConnection& operator=(const BridgeConnection&) = delete;
  // Closes the bridge's input and reaps it.
  ~BridgeConnection();

  // Sends one request frame and reads one response frame. With a timeout, a bridge that has not
  // begun answering by then is killed.
  Outcome<std::string> exchange(std::string_view request,
                                std::optional<std::chrono::milliseconds> timeout = {});

  // Closes the bridge's input, as a browser does when it lets go, and returns whatever else it
  // writes on its output before it closes it (at most 64 KiB, waiting at most `timeout`).
  Outcome<std::string> close_input_and_read_rest(std::chrono::milliseconds timeout);

  // Closes the bridge's input, as a browser does when it lets go, and waits for the exit.
  Outcome<platform::ExitStatus> finish();

 private:
  BridgeConnection(pid_t pid, platform::UniqueFd input, platform::UniqueFd output)
      : pid_(pid), input_(std::move(input)), output_(std::move(output)) {}
  void kill_now();

  pid_t pid_ = -1;
  platform::UniqueFd input_, output_;
};

}  // namespace varquin::tools
