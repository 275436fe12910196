// Starting the desktop app's launcher directly (no shell) and waiting for it, and the building
// blocks of posix_spawn that every child of ours starts from.
#pragma once

#include <spawn.h>
#include <sys/types.h>

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

// Waits for a child to end (retrying EINTR).
OsResult<ExitStatus> wait_for_child(pid_t pid);

// Runs `program` with `arguments` (argv[0] is `program`), inheriting the environment and the
// working directory. The child's stdin is /dev/null and its stdout is our stderr, so nothing it
// does can touch the protocol pipe on our stdin and stdout. Waits for it to end.
OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments);

// posix_spawn's file actions, owned. Each call returns 0 or the error number.
class SpawnActions {
 public:
  SpawnActions();
  ~SpawnActions();
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  // The child's descriptor `target` opened on /dev/null (read-only for stdin, else write-only).
  int open_dev_null(int target);
  // Our descriptor `fd` duplicated onto the child's `target`; dup2 clears close-on-exec on it.
  int duplicate(int fd, int target);
  int change_directory(const std::string& directory);
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

// posix_spawn's attributes, owned, set as every child of ours starts: signal dispositions and
// mask at their defaults, since ignored signals stay ignored across exec and the SIGPIPE we
// ignore for our own pipe must not leak. Optionally the child leads a new process group.
class SpawnAttributes {
 public:
  SpawnAttributes();
  ~SpawnAttributes();
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  int configure(bool own_process_group);
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

// argv or envp for posix_spawn: pointers into `texts`, then a null pointer.
std::vector<char*> pointers_to(const std::vector<std::string>& texts);

}  // namespace varquin::platform
