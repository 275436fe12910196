// varquin-fake-open: a stand-in for macOS /usr/bin/open in tests and the demo.
//
// Accepts exactly: -n BUNDLE --args --varquin-browser-import=MANIFEST (anything else: exit 2).
// Controlled by the environment it inherits from the bridge:
//   VARQUIN_FAKE_OPEN_LOG=<file>    append the arguments as one compact JSON array per call
//   VARQUIN_FAKE_OPEN_SIGPIPE=<file> write how SIGPIPE was set when it started: "default" or
//                                   "ignored" (a launcher must not inherit the bridge's ignore)
//   VARQUIN_FAKE_OPEN_NOISE=1       write junk to stdout and try to read stdin, to show that the
//                                   bridge's protocol pipe is out of reach (report on stderr)
//   VARQUIN_FAKE_OPEN_FINALIZE=1    play the desktop app: read the manifest and leave the
//                                   request's terminal record in the store
//   VARQUIN_FAKE_OPEN_CONSUME=1     take the stage away (remove its directory), as an app that
//                                   moved it elsewhere would; makes a rollback find nothing
//   VARQUIN_FAKE_OPEN_SIGNAL=<n>    then kill itself with signal n
//   VARQUIN_FAKE_OPEN_EXIT=<n>      else exit with status n (default 0)
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/fd.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "toolkit/fs.h"
#include "util/path.h"
#include "util/rfc3339.h"
#include "util/utf8.h"

namespace {

using namespace varquin;

constexpr std::string_view kFlag = "--varquin-browser-import=";
constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 3;

int complain(const std::string& message, int status) {
  std::fprintf(stderr, "varquin-fake-open: %s\n", message.c_str());
  return status;
}

bool env_flag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string_view(value) == "1";
}

// The variable's number, `unset` when it is not set; none when it is set but is not a whole
// decimal number (the caller refuses that).
std::optional<int> env_number(const char* name, int unset) {
  const char* value = std::getenv(name);
  if (value == nullptr) return unset;
  std::string_view text(value);
  int number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

bool append_log(const char* log_path, std::span<char*> arguments) {
  boost::json::array line;
  for (const char* argument : arguments) line.emplace_back(util::utf8_lossy(argument));
  std::string text = boost::json::serialize(line) + "\n";
  std::FILE* log = std::fopen(log_path, "ab");
  if (log == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), log) == text.size();
  return std::fclose(log) == 0 && ok;
}

// Junk on stdout would corrupt the bridge's frames, and a read from stdin would steal them; the
// bridge must have given us /dev/null and its stderr instead. Never blocks for long.
void make_noise() {
  static constexpr std::string_view kJunk = "\xff\xff\xff\x7fvarquin-fake-open noise\n";
  // Whether the junk got anywhere is what the test looks at, not what this write says.
  [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, kJunk.data(), kJunk.size());
  pollfd input{STDIN_FILENO, POLLIN, 0};
  long got = -1;
  if (::poll(&input, 1, 100) > 0 && (input.revents & (POLLIN | POLLHUP))) {
    char buffer[256];
    got = ::read(STDIN_FILENO, buffer, sizeof buffer);
  }
  std::fprintf(stderr, "varquin-fake-open: read %ld bytes from stdin\n", got);
}

// What the process was started with: an ignored signal stays ignored across exec.
bool record_sigpipe(const char* path) {
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) != 0) return false;
  const char* state = current.sa_handler == SIG_IGN ? "ignored" : "default";
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  const bool ok = std::fputs(state, out) >= 0;
  return std::fclose(out) == 0 && ok;
}

std::string write_failure(const std::string& path, const platform::OsError& error) {
  return "cannot write " + path + ": " + error.text();
}

// Leaves <user-data>/browser-import-terminals/<requestId>.json, as the desktop app does when it
// has taken an import over. The manifest lies at <user-data>/browser-imports/<id>/request.json.
std::optional<std::string> finalize(const std::string& manifest_path) {
  auto manifest = staging::read_json<staging::ImportManifest>(manifest_path);
  if (!manifest) return "cannot read the manifest: " + manifest.error().message;
  auto stage = util::parent_path(manifest_path);
  auto imports_root = stage ? util::parent_path(*stage) : std::nullopt;
  auto user_data = imports_root ? util::parent_path(*imports_root) : std::nullopt;
  if (!user_data) return "the manifest does not lie in a staging store: " + manifest_path;

  staging::TerminalRecord record{
      manifest->schema,        manifest->request_id,
      manifest->source,        manifest->original_source_path,
      manifest->original_name, manifest->size_bytes,
      manifest->sha256,        util::format_rfc3339_millis_z(platform::utc_now())};
  auto bytes = staging::serialize_terminal_record(record);
  if (!bytes) return "cannot serialize the terminal record: " + bytes.error().message;

  staging::StorePaths store{*user_data};
  const std::string target = store.terminal_record(record.request_id);
  const std::string temporary =
      util::join_path(store.terminals_root(), "." + record.request_id + ".json.tmp");
  if (auto made = toolkit::create_directories(store.terminals_root()); !made) {
    return write_failure(store.terminals_root(), made.error());
  }
  auto file = toolkit::create_or_truncate_file(temporary);
  if (!file) return write_failure(temporary, file.error());
  auto written = platform::write_all(
      file->get(), std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
  if (!written) return write_failure(temporary, written.error());
  // Published whole, as peers/desktop does it: synced before the rename makes it visible.
  if (auto synced = platform::full_sync(file->get()); !synced) {
    return write_failure(temporary, synced.error());
  }
  file->reset();
  if (auto renamed = toolkit::rename_path(temporary, target); !renamed) {
    return write_failure(target, renamed.error());
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() != 4 || args[0] != "-n" || args[2] != "--args" || !args[3].starts_with(kFlag)) {
    return complain("usage: varquin-fake-open -n BUNDLE --args --varquin-browser-import=MANIFEST",
                    kUsageStatus);
  }
  auto exit_status = env_number("VARQUIN_FAKE_OPEN_EXIT", 0);
  auto signal_number = env_number("VARQUIN_FAKE_OPEN_SIGNAL", 0);
  if (!exit_status || !signal_number) {
    return complain("VARQUIN_FAKE_OPEN_EXIT and VARQUIN_FAKE_OPEN_SIGNAL take a number",
                    kUsageStatus);
  }

  if (const char* report = std::getenv("VARQUIN_FAKE_OPEN_SIGPIPE")) {
    if (!record_sigpipe(report)) {
      return complain(std::string("cannot write ") + report, kFailureStatus);
    }
  }
  if (const char* log = std::getenv("VARQUIN_FAKE_OPEN_LOG")) {
    if (!append_log(log, std::span(argv + 1, argv + argc))) {
      return complain(std::string("cannot append to ") + log, kFailureStatus);
    }
  }
  if (env_flag("VARQUIN_FAKE_OPEN_NOISE")) make_noise();
  if (env_flag("VARQUIN_FAKE_OPEN_FINALIZE")) {
    if (auto fault = finalize(std::string(args[3].substr(kFlag.size())))) {
      return complain(*fault, kFailureStatus);
    }
  }
  if (env_flag("VARQUIN_FAKE_OPEN_CONSUME")) {
    std::string manifest(args[3].substr(kFlag.size()));
    auto stage = varquin::util::parent_path(manifest);
    if (!stage || !varquin::toolkit::remove_tree(*stage)) {
      return complain("cannot remove the stage of " + manifest, kFailureStatus);
    }
  }
  if (*signal_number != 0) {
    // Sanitizers install their own handlers; the default action is what a test expects.
    ::signal(*signal_number, SIG_DFL);
    ::raise(*signal_number);
    return complain("signal " + std::to_string(*signal_number) + " did not end the process",
                    kFailureStatus);
  }
  return *exit_status;
}
