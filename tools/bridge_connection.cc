#include "bridge_connection.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "platform/path.h"
#include "protocol/framing.h"
#include "toolkit/fs.h"
#include "toolkit/process.h"
#include "util/path.h"

extern char** environ;

namespace varquin::tools {

namespace {

using platform::UniqueFd;

// Responses are small; this only bounds what a broken bridge could make us allocate.
constexpr std::uint32_t kMaxResponseBytes = 16u << 20;

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
  VARQUIN_ASSIGN_OR_RETURN(auto self, self_executable_path());
  return util::join_path(util::parent_path(self).value_or("/"), name);
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
  auto to_child = toolkit::make_pipe();
  auto from_child = toolkit::make_pipe();
  if (!to_child || !from_child) {
    auto error = to_child ? from_child.error() : to_child.error();
    return std::unexpected("cannot create a pipe: " + error.text());
  }
  // Stderr is shared, as a browser shares it.
  toolkit::ChildCommand invocation{.argv = {executable, origin},
                                   .environment = child_environment(overrides),
                                   .input = toolkit::ChildStream::from(to_child->read.get()),
                                   .output = toolkit::ChildStream::from(from_child->write.get()),
                                   .working_directory = util::parent_path(executable)};
  auto pid = toolkit::spawn_child(invocation);
  if (!pid) return std::unexpected("cannot start " + executable + ": " + pid.error().text());
  return BridgeConnection(*pid, std::move(to_child->write), std::move(from_child->read));
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

Outcome<std::string> BridgeConnection::close_input_and_read_rest(
    std::chrono::milliseconds timeout) {
  constexpr std::size_t kMaxRest = 65536;
  input_.reset();
  std::string rest;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (rest.size() < kMaxRest) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !wait_readable(output_.get(), left)) {
      return std::unexpected(
          std::string("the bridge did not close its output once its input closed"));
    }
    char chunk[4096];
    auto got =
        platform::read_some(output_.get(), {reinterpret_cast<std::uint8_t*>(chunk), sizeof chunk});
    if (!got) return std::unexpected("cannot read the bridge's output: " + got.error().text());
    if (*got == 0) break;
    rest.append(chunk, *got);
  }
  return rest;
}

Outcome<platform::ExitStatus> BridgeConnection::finish() {
  if (pid_ <= 0) return std::unexpected(std::string("the bridge was already reaped"));
  input_.reset();
  output_.reset();
  auto status = platform::wait_for_child(std::exchange(pid_, -1));
  if (!status) return std::unexpected("cannot wait for the bridge: " + status.error().text());
  return *status;
}

}  // namespace varquin::tools
