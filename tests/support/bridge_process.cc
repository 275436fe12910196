#include "support/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace varquin::testing {

namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = fds[0];
    write = fds[1];
  }
};

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

BridgeResult run_bridge(const BridgeRun& run, int timeout_seconds) {
  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.write, 2);

  std::vector<std::string> argv_text{run.executable};
  argv_text.insert(argv_text.end(), run.arguments.begin(), run.arguments.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [k, v] : run.environment) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int spawned =
      ::posix_spawn(&pid, run.executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close_fd(in.read);
  close_fd(out.write);
  close_fd(err.write);
  if (spawned != 0) throw std::runtime_error("spawn failed");
  ::signal(SIGPIPE, SIG_IGN);

  BridgeResult result;
  if (run.close_output) close_fd(out.read);
  std::size_t written = 0;
  if (run.input.empty() && run.close_input) close_fd(in.write);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out.read >= 0 || err.read >= 0) {
    std::vector<pollfd> fds;
    if (out.read >= 0) fds.push_back({out.read, POLLIN, 0});
    if (err.read >= 0) fds.push_back({err.read, POLLIN, 0});
    bool writing = in.write >= 0 && written < run.input.size();
    if (writing) fds.push_back({in.write, POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in.write) {
        ssize_t n = ::write(in.write, run.input.data() + written, run.input.size() - written);
        if (n < 0) {
          close_fd(in.write);  // the bridge stopped reading
          continue;
        }
        written += static_cast<std::size_t>(n);
        if (written == run.input.size() && run.close_input) close_fd(in.write);
        continue;
      }
      char buffer[65536];
      ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      std::string& sink = p.fd == out.read ? result.output : result.error;
      if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
      } else {
        close_fd(p.fd == out.read ? out.read : err.read);
      }
    }
  }
  close_fd(in.write);
  close_fd(out.read);
  close_fd(err.read);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string frame(const std::string& json) {
  auto n = static_cast<std::uint32_t>(json.size());
  std::string out{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                  static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  return out + json;
}

std::vector<std::string> unframe(const std::string& bytes) {
  std::vector<std::string> frames;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) {
      frames.push_back("<partial>");
      break;
    }
    auto byte = [&](std::size_t i) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos + i]));
    };
    std::uint32_t n = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    if (bytes.size() - pos - 4 < n) {
      frames.push_back("<partial>");
      break;
    }
    frames.push_back(bytes.substr(pos + 4, n));
    pos += 4 + n;
  }
  return frames;
}

}  // namespace varquin::testing
