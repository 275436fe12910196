#include "bridge_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "platform/fs.h"
#include "protocol/framing.h"
#include "util/path.h"

extern char** environ;

namespace varquin::tools {

namespace {

using platform::UniqueFd;

// Responses are small; this only bounds what a broken bridge could make us allocate.
constexpr std::uint32_t kMaxResponseBytes = 16u << 20;

struct Pipe {
  UniqueFd read, write;
};

Outcome<Pipe> make_pipe() {
  int fds[2];
  if (::pipe(fds) != 0)
    return std::unexpected(std::string("cannot create a pipe: ") + std::strerror(errno));
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  // Only the child's dup2 copies may cross exec; our ends must not leak into it.
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return pipe;
}

// Our environment with `overrides` replacing or adding variables.
std::vector<std::string> child_environment(const EnvironmentOverrides& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    bool overridden = false;
    for (const auto& [name, value] : overrides) {
      overridden = overridden || (text.starts_with(name) && text.size() > name.size() &&
                                  text[name.size()] == '=');
    }
    if (!overridden) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Spawns with the pipe ends on fds 0 and 1 and SIGPIPE back at its default, as a browser's
// launcher leaves it.
int spawn(pid_t& pid, const std::string& executable, std::vector<char*>& argv,
          std::vector<char*>& envp, int child_input, int child_output) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int e = ::posix_spawn_file_actions_init(&actions)) return e;
  if (int e = ::posix_spawnattr_init(&attributes)) {
    ::posix_spawn_file_actions_destroy(&actions);
    return e;
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  int error = ::posix_spawn_file_actions_adddup2(&actions, child_input, STDIN_FILENO);
  if (error == 0) error = ::posix_spawn_file_actions_adddup2(&actions, child_output, STDOUT_FILENO);
  if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (error == 0) error = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (error == 0) {
    error =
        ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error;
}

Outcome<platform::ExitStatus> wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return std::unexpected(std::string("cannot wait for the bridge: ") + std::strerror(errno));
  }
  if (WIFEXITED(status)) return platform::ExitStatus{true, WEXITSTATUS(status), 0};
  return platform::ExitStatus{false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

// False when nothing arrived within `timeout`.
bool wait_readable(int fd, std::chrono::milliseconds timeout) {
  pollfd poll_fd{fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int ready = ::poll(&poll_fd, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // the read that follows reports the fault
  }
}

}  // namespace

Outcome<std::string> self_executable_path() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  ::_NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (::_NSGetExecutablePath(path.data(), &size) != 0) {
    return std::unexpected(std::string("cannot find the running program"));
  }
  path.resize(std::strlen(path.c_str()));
#else
  std::string path = "/proc/self/exe";
#endif
  auto resolved = platform::real_path(path);
  if (!resolved) {
    return std::unexpected("cannot find the running program: " + resolved.error().text());
  }
  return *resolved;
}

Outcome<std::string> sibling_program(std::string_view name) {
  auto self = self_executable_path();
  if (!self) return std::unexpected(self.error());
  return util::join_path(util::parent_path(*self).value_or("/"), name);
}

Outcome<std::string> absolute_as_given(const std::string& path) {
  if (util::is_absolute(path)) return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) {
    return std::unexpected(std::string("cannot read the working directory: ") +
                           std::strerror(errno));
  }
  return util::join_path(cwd, path);
}

Outcome<BridgeConnection> BridgeConnection::start(const std::string& executable,
                                                  const std::string& origin,
                                                  const EnvironmentOverrides& overrides) {
  if (!util::is_absolute(executable)) {
    return std::unexpected("the bridge path " + executable + " is not absolute");
  }
  auto to_child = make_pipe();
  if (!to_child) return std::unexpected(to_child.error());
  auto from_child = make_pipe();
  if (!from_child) return std::unexpected(from_child.error());

  std::vector<std::string> argv_text{executable, origin};
  std::vector<std::string> envp_text = child_environment(overrides);
  auto argv = pointers_to(argv_text);
  auto envp = pointers_to(envp_text);
  pid_t pid = -1;
  int error = spawn(pid, executable, argv, envp, to_child->read.get(), from_child->write.get());
  if (error != 0)
    return std::unexpected("cannot start " + executable + ": " + std::strerror(error));
  return BridgeConnection(pid, std::move(to_child->write), std::move(from_child->read));
}

BridgeConnection::BridgeConnection(BridgeConnection&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)) {}

BridgeConnection::~BridgeConnection() {
  if (pid_ > 0) (void)finish();
}

void BridgeConnection::kill_now() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

Outcome<std::string> BridgeConnection::exchange(std::string_view request,
                                                std::optional<std::chrono::milliseconds> timeout) {
  if (auto written = protocol::write_frame(input_.get(), request); !written) {
    return std::unexpected("cannot send the request to the bridge: " + written.error().detail);
  }
  if (timeout && !wait_readable(output_.get(), *timeout)) {
    kill_now();
    return std::unexpected("the bridge did not answer within " +
                           std::to_string(timeout->count() / 1000) + " s");
  }
  auto response = protocol::read_frame(output_.get(), kMaxResponseBytes);
  if (!response) {
    std::string detail =
        response.error().detail.empty() ? "the length is invalid" : response.error().detail;
    return std::unexpected("cannot read the bridge's answer: " + detail);
  }
  if (!*response)
    return std::unexpected(std::string("the bridge closed the pipe without answering"));
  return std::move(**response);
}

Outcome<platform::ExitStatus> BridgeConnection::finish() {
  if (pid_ <= 0) return std::unexpected(std::string("the bridge was already reaped"));
  input_.reset();
  output_.reset();
  return wait_for(std::exchange(pid_, -1));
}

}  // namespace varquin::tools
