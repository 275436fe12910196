#include "toolkit/process.h"

#include <fcntl.h>
#include <unistd.h>

extern char** environ;

namespace varquin::toolkit {

namespace {

int wire(platform::SpawnActions& actions, const ChildStream& stream, int target) {
  switch (stream.kind) {
    case ChildStream::Kind::Inherit:
      return 0;
    case ChildStream::Kind::DevNull:
      return actions.open_dev_null(target);
    case ChildStream::Kind::Fd:
      return actions.duplicate(stream.fd, target);
  }
  return EINVAL;
}

}  // namespace

platform::OsResult<pid_t> spawn_child(const ChildCommand& invocation) {
  using platform::os_error;
  if (invocation.argv.empty()) return os_error(EINVAL);
  platform::SpawnActions actions;
  if (int error = wire(actions, invocation.input, STDIN_FILENO)) return os_error(error);
  if (int error = wire(actions, invocation.output, STDOUT_FILENO)) return os_error(error);
  if (int error = wire(actions, invocation.error, STDERR_FILENO)) return os_error(error);
  if (invocation.working_directory) {
    if (int error = actions.change_directory(*invocation.working_directory)) return os_error(error);
  }
  platform::SpawnAttributes attributes;
  if (int error = attributes.configure(invocation.own_process_group)) return os_error(error);

  std::vector<char*> argv = platform::pointers_to(invocation.argv);
  std::vector<char*> envp;
  if (invocation.environment) envp = platform::pointers_to(*invocation.environment);
  char** environment = invocation.environment ? envp.data() : environ;
  auto start = invocation.search_path ? ::posix_spawnp : ::posix_spawn;
  pid_t pid = 0;
  if (int error = start(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environment)) {
    return os_error(error);
  }
  return pid;
}

platform::OsResult<Pipe> make_pipe() {
  int fds[2];
#if defined(__APPLE__)
  // No pipe2 on macOS: a child spawned by another thread between the two calls could inherit
  // the ends, which only single-threaded callers can rule out.
  if (::pipe(fds) != 0) return platform::last_os_error();
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return platform::last_os_error();
#endif
  return Pipe{platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

}  // namespace varquin::toolkit
