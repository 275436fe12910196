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

  int wire(const ChildStream& stream, int target) {
    if (!ok_) return ENOMEM;
    switch (stream.kind) {
      case ChildStream::Kind::Inherit:
        return 0;
      case ChildStream::Kind::DevNull:
        return ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                                  target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
      case ChildStream::Kind::Fd:
        // dup2 clears close-on-exec on the copy the child keeps.
        return ::posix_spawn_file_actions_adddup2(&actions_, stream.fd, target);
    }
    return EINVAL;
  }
  int change_directory(const std::string& directory) {
    if (!ok_) return ENOMEM;
    // A non-portable name for what POSIX 2024 calls posix_spawn_file_actions_addchdir; glibc 2.29
    // and macOS 10.15 have it.
    return ::posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
  }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  int configure(bool own_process_group) {
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
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

std::vector<char*> pointers_to(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
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

OsResult<pid_t> spawn_child(const ChildCommand& invocation) {
  if (invocation.argv.empty()) return os_error(EINVAL);
  SpawnActions actions;
  if (int error = actions.wire(invocation.input, STDIN_FILENO)) return os_error(error);
  if (int error = actions.wire(invocation.output, STDOUT_FILENO)) return os_error(error);
  if (int error = actions.wire(invocation.error, STDERR_FILENO)) return os_error(error);
  if (invocation.working_directory) {
    if (int error = actions.change_directory(*invocation.working_directory)) return os_error(error);
  }
  SpawnAttributes attributes;
  if (int error = attributes.configure(invocation.own_process_group)) return os_error(error);

  std::vector<char*> argv = pointers_to(invocation.argv);
  std::vector<char*> envp;
  if (invocation.environment) envp = pointers_to(*invocation.environment);
  char** environment = invocation.environment ? envp.data() : environ;
  auto start = invocation.search_path ? ::posix_spawnp : ::posix_spawn;
  pid_t pid = 0;
  if (int error = start(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environment)) {
    return os_error(error);
  }
  return pid;
}

OsResult<ExitStatus> wait_for_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return last_os_error();
  }
  if (WIFEXITED(status)) return ExitStatus{true, WEXITSTATUS(status), 0};
  return ExitStatus{false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

OsResult<Pipe> make_pipe() {
  int fds[2];
#if defined(__APPLE__)
  // No pipe2 on macOS: a child spawned by another thread between the two calls could inherit
  // the ends, which only the bridge's single-threaded callers can rule out.
  if (::pipe(fds) != 0) return last_os_error();
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return last_os_error();
#endif
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

OsResult<ExitStatus> run_detached_from_stdio(const std::string& program,
                                             const std::vector<std::string>& arguments) {
  ChildCommand invocation;
  invocation.argv.reserve(arguments.size() + 1);
  invocation.argv.push_back(program);
  invocation.argv.insert(invocation.argv.end(), arguments.begin(), arguments.end());
  invocation.input = ChildStream::dev_null();
  invocation.output = ChildStream::from(STDERR_FILENO);
  VARQUIN_ASSIGN_OR_RETURN(auto pid, spawn_child(invocation));
  return wait_for_child(pid);
}

}  // namespace varquin::platform
