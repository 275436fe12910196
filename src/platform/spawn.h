// Starting a program directly (no shell) and waiting for it.
#pragma once

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace varquin::platform {

struct ExitStatus {
  bool exited;      // a normal exit
  int exit_code;    // when exited
  int signal;       // when killed by a signal
};

// Runs `program` with `arguments` (argv[0] is `program`), inheriting the environment and the
// working directory. The child's stdin is /dev/null and its stdout is our stderr, so nothing it
// does can touch the protocol pipe on our stdin and stdout. Waits for it to end.
OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments);

}  // namespace varquin::platform
