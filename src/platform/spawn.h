// Starting a program directly (no shell) and waiting for it.
#pragma once

#include <string>
#include <vector>

#include "platform/os_error.h"

namespace varquin::platform {

struct ExitStatus {
  bool exited;    // a normal exit
  int exit_code;  // when exited
  int signal;     // when killed by a signal
};

// The conventional name of a signal ("SIGKILL"), or null when the number is not a standard one.
const char* signal_name(int signal);

// Runs `program` with `arguments` (argv[0] is `program`), inheriting the environment and the
// working directory. Signal dispositions and the signal mask start from their defaults, so the
// SIGPIPE we ignore is not ignored in the child. The child's stdin is /dev/null and its stdout is
// our stderr, so nothing it does can touch the protocol pipe on our stdin and stdout. Waits for it
// to end.
OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments);

}  // namespace varquin::platform
