#include "toolkit/chromium.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "toolkit/process.h"
#include "util/base64.h"
#include "util/sha256.h"

namespace varquin::toolkit {

std::optional<std::string> find_chromium() {
  if (const char* chosen = std::getenv("VARQUIN_TEST_BROWSER")) return std::string(chosen);
  for (const char* candidate : {
#if defined(__APPLE__)
         "/Applications/Chromium.app/Contents/MacOS/Chromium",
             "/Applications/Google Chrome for Testing.app/Contents/MacOS/Google Chrome for Testing",
#else
           "/usr/bin/chromium",
           "/usr/bin/chromium-browser",
#endif
       }) {
    if (::access(candidate, X_OK) == 0) return std::string(candidate);
  }
  return std::nullopt;
}

std::optional<std::string> chromium_extension_id(std::string_view key_base64) {
  std::vector<std::uint8_t> der;
  if (!util::decode_base64_append(key_base64, der)) return std::nullopt;
  std::string id = util::sha256_hex(der).substr(0, 32);
  for (char& c : id) c = static_cast<char>('a' + (c <= '9' ? c - '0' : c - 'a' + 10));
  return id;
}

ChromiumProcess::ChromiumProcess(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment, bool keep_log)
    : keep_log_(keep_log) {
  auto pipe = make_pipe();
  if (!pipe) {
    failure_ = "no pipe: " + pipe.error().text();
    return;
  }
  auto pid = spawn_child({.argv = argv,
                          .environment = environment,
                          .input = ChildStream::dev_null(),
                          .output = ChildStream::dev_null(),
                          .error = ChildStream::from(pipe->write.get()),
                          .own_process_group = true});
  if (!pid) {
    failure_ =
        "cannot start " + (argv.empty() ? std::string() : argv[0]) + ": " + pid.error().text();
    return;
  }
  pid_ = *pid;
  stderr_ = std::move(pipe->read);
}

std::optional<std::string> ChromiumProcess::next(std::string_view tag_prefix,
                                                 Clock::time_point deadline) {
  if (!stderr_.valid()) return std::nullopt;  // never started
  for (;;) {
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (keep_log_) log_ += line + "\n";
      const std::size_t at = line.find(tag_prefix);
      if (at == std::string::npos) continue;
      line.erase(0, at + tag_prefix.size());
      if (auto source = line.rfind("\", source:"); source != std::string::npos) line.erase(source);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{stderr_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(stderr_.get(), chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChromiumProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(50'000);
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace varquin::toolkit
