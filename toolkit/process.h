// Starting programs for the tools, the tests and the benchmarks: directly (no shell), with their
// standard streams wired as asked, in a process group of their own if wanted; pipes to talk to
// them. The bridge itself only ever starts the launcher (platform/spawn.h).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/os_error.h"
#include "platform/spawn.h"

namespace varquin::toolkit {

using platform::ExitStatus;
using platform::wait_for_child;

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

// Starts a child, its signal dispositions and mask at their defaults (platform::SpawnAttributes).
platform::OsResult<pid_t> spawn_child(const ChildCommand& invocation);

// A pipe whose ends are both close-on-exec: only the copies a child gets on its standard streams
// cross exec.
struct Pipe {
  platform::UniqueFd read, write;
};
platform::OsResult<Pipe> make_pipe();

}  // namespace varquin::toolkit
