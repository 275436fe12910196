#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <utility>

extern char** environ;

namespace varquin::platform {

SpawnActions::SpawnActions() {
  ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
}

SpawnActions::~SpawnActions() {
  if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
}

int SpawnActions::open_dev_null(int target) {
  if (!ok_) return ENOMEM;
  return ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                            target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
}

int SpawnActions::duplicate(int fd, int target) {
  if (!ok_) return ENOMEM;
  return ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
}

int SpawnActions::change_directory(const std::string& directory) {
  if (!ok_) return ENOMEM;
  // A non-portable name for what POSIX 2024 calls posix_spawn_file_actions_addchdir; glibc 2.29
  // and macOS 10.15 have it.
  return ::posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
}

SpawnAttributes::SpawnAttributes() {
  ok_ = ::posix_spawnattr_init(&attributes_) == 0;
}

SpawnAttributes::~SpawnAttributes() {
  if (ok_) ::posix_spawnattr_destroy(&attributes_);
}

int SpawnAttributes::configure(bool own_process_group) {
  if (!ok_) return ENOMEM;
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  if (int e = ::posix_spawnattr_setsigdefault(&attributes_, &defaults)) return e;
  if (int e = ::posix_spawnattr_setsigmask(&attributes_, &empty)) return e;
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_process_group) {
    if (int e = ::posix_spawnattr_setpgroup(&attributes_, 0)) return e;
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  return ::posix_spawnattr_setflags(&attributes_, flags);
}

std::vector<char*> pointers_to(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

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

OsResult<ExitStatus> wait_for_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return last_os_error();
  }
  if (WIFEXITED(status)) return ExitStatus{true, WEXITSTATUS(status), 0};
  return ExitStatus{false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments) {
  std::vector<std::string> argv;
  argv.reserve(arguments.size() + 1);
  argv.push_back(program);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SpawnActions actions;
  if (int error = actions.open_dev_null(STDIN_FILENO)) return os_error(error);
  if (int error = actions.duplicate(STDERR_FILENO, STDOUT_FILENO)) return os_error(error);
  SpawnAttributes attributes;
  if (int error = attributes.configure(false)) return os_error(error);
  std::vector<char*> pointers = pointers_to(argv);
  pid_t pid = 0;
  if (int error = ::posix_spawn(&pid, pointers[0], actions.get(), attributes.get(), pointers.data(),
                                environ)) {
    return os_error(error);
  }
  return wait_for_child(pid);
}

}  // namespace varquin::platform
