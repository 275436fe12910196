#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <utility>

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
    if (int e =
            ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
      return e;
    return ::posix_spawn_file_actions_adddup2(&actions_, STDERR_FILENO, STDOUT_FILENO);
  }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

// Ignored signals stay ignored across exec; the bridge ignores SIGPIPE for its own pipe, which
// the launcher must not inherit. Reset it, and start with an empty signal mask.
class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  int default_signals() {
    if (!ok_) return ENOMEM;
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    if (int e = ::posix_spawnattr_setsigdefault(&attributes_, &defaults)) return e;
    if (int e = ::posix_spawnattr_setsigmask(&attributes_, &empty)) return e;
    return ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
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

const char* signal_name(int signal) {
  // Numbers differ between systems, so the table is built from the macros.
  static constexpr std::array<std::pair<int, const char*>, 28> kNames{{
      {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},
      {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},     {SIGFPE, "SIGFPE"},
      {SIGKILL, "SIGKILL"},     {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"},   {SIGUSR2, "SIGUSR2"},
      {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},   {SIGCHLD, "SIGCHLD"},
      {SIGCONT, "SIGCONT"},     {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},   {SIGTTIN, "SIGTTIN"},
      {SIGTTOU, "SIGTTOU"},     {SIGURG, "SIGURG"},   {SIGXCPU, "SIGXCPU"},   {SIGXFSZ, "SIGXFSZ"},
      {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"}, {SIGSYS, "SIGSYS"},
  }};
  for (const auto& [number, name] : kNames) {
    if (number == signal) return name;
  }
  return nullptr;
}

OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnActions actions;
  if (int error = actions.detach_stdio()) return os_error(error);
  SpawnAttributes attributes;
  if (int error = attributes.default_signals()) return os_error(error);
  pid_t pid = 0;
  if (int error = ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                                environ))
    return os_error(error);
  return wait_for(pid);
}

}  // namespace varquin::platform
