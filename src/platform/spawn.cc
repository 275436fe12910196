#include "platform/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varquin::platform {

namespace {

class SpawnActions {
 public:
  SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  int detach_stdio() {
    if (!ok_) return ENOMEM;
    if (int e = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
      return e;
    return ::posix_spawn_file_actions_adddup2(&actions_, STDERR_FILENO, STDOUT_FILENO);
  }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

OsResult<ExitStatus> wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return last_os_error();
  }
  if (WIFEXITED(status)) return ExitStatus{true, WEXITSTATUS(status), 0};
  return ExitStatus{false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

}  // namespace

OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnActions actions;
  if (int error = actions.detach_stdio()) return os_error(error);
  pid_t pid = 0;
  if (int error = ::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ))
    return os_error(error);
  return wait_for(pid);
}

}  // namespace varquin::platform
