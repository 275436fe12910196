// The Chromium the real-browser test and the browser benchmark drive.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"

namespace varquin::toolkit {

// A Chromium that still loads unpacked extensions from the command line (branded Chrome stopped
// in version 137): Debian's, or on macOS Chromium or Google Chrome for Testing;
// VARQUIN_TEST_BROWSER names another. None when there is none.
std::optional<std::string> find_chromium();

// The ID Chrome gives an unpacked extension whose manifest has this "key" (its public key in
// Base64): SHA-256 of the key, first 32 hex digits, 0-f mapped to a-p. None when it is not Base64.
std::optional<std::string> chromium_extension_id(std::string_view key_base64);

// Chromium in its own process group, so that stopping it also ends the helpers and native hosts
// it started; its stderr read line by line for the console lines an extension tags.
class ChromiumProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts argv[0] with exactly `environment` ("NAME=value"), standard input and output on
  // /dev/null. With `keep_log` every stderr line read is kept, for a caller's failure report.
  ChromiumProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                  bool keep_log = false);
  ~ChromiumProcess() { stop(); }

  // Why the browser did not start; none when it did.
  const std::optional<std::string>& failure() const { return failure_; }

  // What follows `tag_prefix` in the next stderr line that holds it, without the source location
  // Chromium appends to a console message; none when stderr ends or the deadline passes first.
  std::optional<std::string> next(std::string_view tag_prefix, Clock::time_point deadline);

  // SIGTERM to the browser, then SIGKILL to whatever is left of its group. Once only.
  void stop();

  // The stderr lines read so far, with `keep_log`.
  const std::string& log() const { return log_; }

 private:
  pid_t pid_ = -1;
  platform::UniqueFd stderr_;
  std::optional<std::string> failure_;
  bool keep_log_;
  std::string buffer_, log_;
};

}  // namespace varquin::toolkit
