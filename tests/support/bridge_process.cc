#include "support/bridge_process.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "toolkit/process.h"

namespace varquin::testing {

namespace {

toolkit::Pipe pipe_or_throw() {
  auto pipe = toolkit::make_pipe();
  if (!pipe) throw std::runtime_error("pipe failed: " + pipe.error().text());
  return std::move(*pipe);
}

std::vector<std::string> environment_of(const std::map<std::string, std::string>& variables) {
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  return entries;
}

}  // namespace

BridgeResult run_bridge(const BridgeRun& run, int timeout_seconds) {
  toolkit::Pipe in = pipe_or_throw(), out = pipe_or_throw(), err = pipe_or_throw();
  toolkit::ChildCommand invocation{.argv = {run.executable},
                                   .environment = environment_of(run.environment),
                                   .input = toolkit::ChildStream::from(in.read.get()),
                                   .output = toolkit::ChildStream::from(out.write.get()),
                                   .error = toolkit::ChildStream::from(err.write.get())};
  invocation.argv.insert(invocation.argv.end(), run.arguments.begin(), run.arguments.end());
  auto pid = toolkit::spawn_child(invocation);
  in.read.reset();
  out.write.reset();
  err.write.reset();
  if (!pid) throw std::runtime_error("spawn failed: " + pid.error().text());
  ::signal(SIGPIPE, SIG_IGN);

  BridgeResult result;
  if (run.close_output) out.read.reset();
  std::size_t written = 0;
  if (run.input.empty() && run.close_input) in.write.reset();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out.read.valid() || err.read.valid()) {
    std::vector<pollfd> fds;
    if (out.read.valid()) fds.push_back({out.read.get(), POLLIN, 0});
    if (err.read.valid()) fds.push_back({err.read.get(), POLLIN, 0});
    bool writing = in.write.valid() && written < run.input.size();
    if (writing) fds.push_back({in.write.get(), POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(*pid, SIGKILL);
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in.write.get()) {
        ssize_t n = ::write(p.fd, run.input.data() + written, run.input.size() - written);
        if (n < 0) {
          in.write.reset();  // the bridge stopped reading
          continue;
        }
        written += static_cast<std::size_t>(n);
        if (written == run.input.size() && run.close_input) in.write.reset();
        continue;
      }
      char buffer[65536];
      ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      const bool is_output = p.fd == out.read.get();
      if (n > 0) {
        (is_output ? result.output : result.error).append(buffer, static_cast<std::size_t>(n));
      } else {
        (is_output ? out.read : err.read).reset();
      }
    }
  }
  in.write.reset();
  out.read.reset();
  err.read.reset();
  auto status = platform::wait_for_child(*pid);
  if (status) result.exit_status = status->exited ? status->exit_code : 128 + status->signal;
  return result;
}

BridgeResult run_installer(const std::string& home, std::vector<std::string> arguments) {
  BridgeRun installer;
  installer.executable = VARQUIN_INSTALLER_EXE;
  installer.arguments = std::move(arguments);
  installer.environment = {{"HOME", home}, {"PATH", "/usr/bin:/bin"}};
  return run_bridge(installer);
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
