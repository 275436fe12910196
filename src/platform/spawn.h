// Starting programs directly (no shell), with their standard streams wired as asked, and waiting
// for them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

struct ExitStatus {
  bool exited;    // a normal exit
  int exit_code;  // when exited
  int signal;     // when killed by a signal
};

// The conventional name of a signal ("SIGKILL"), or null when the number is not a standard one.
const char* signal_name(int signal);

// Where one of a child's standard streams goes.
struct ChildStream {
  enum class Kind { Inherit, DevNull, Fd };
  Kind kind = Kind::Inherit;
  int fd = -1;  // with Kind::Fd: one of our descriptors, duplicated onto the child's stream

  static ChildStream inherit() { return {}; }
  static ChildStream dev_null() { return {Kind::DevNull, -1}; }
  static ChildStream from(int fd) { return {Kind::Fd, fd}; }
};

struct ChildCommand {
  std::vector<std::string> argv{};  // argv[0] is the program
  // "NAME=value" entries: the child's whole environment. Absent: ours.
  std::optional<std::vector<std::string>> environment{};
  ChildStream input{}, output{}, error{};
  bool search_path = false;                        // look argv[0] up in PATH when it holds no "/"
  bool own_process_group = false;                  // the child leads a new process group
  std::optional<std::string> working_directory{};  // absent: ours
};

// Starts a child. Signal dispositions and the signal mask start from their defaults: ignored
// signals stay ignored across exec, and the SIGPIPE we ignore for our own pipe must not leak.
OsResult<pid_t> spawn_child(const ChildCommand& invocation);

// Waits for a child to end (retrying EINTR).
OsResult<ExitStatus> wait_for_child(pid_t pid);

// A pipe whose ends are both close-on-exec: only the copies a child gets on its standard streams
// cross exec.
struct Pipe {
  UniqueFd read, write;
};
OsResult<Pipe> make_pipe();

// Runs `program` with `arguments` (argv[0] is `program`), inheriting the environment and the
// working directory. The child's stdin is /dev/null and its stdout is our stderr, so nothing it
// does can touch the protocol pipe on our stdin and stdout. Waits for it to end.
OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments);

}  // namespace varquin::platform
