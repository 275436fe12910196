#include "launch/launch.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace varquin {
namespace {

using testing::TempDir;

// Sets environment variables for the launcher (it inherits them) and restores them after.
class ScopedEnv {
 public:
  ScopedEnv& set(const char* name, const std::string& value) {
    names_.push_back(name);
    ::setenv(name, value.c_str(), 1);
    return *this;
  }
  ~ScopedEnv() {
    for (const char* name : names_) ::unsetenv(name);
  }

 private:
  std::vector<const char*> names_;
};

const std::string kFakeOpen = VARQUIN_FAKE_OPEN_EXE;

TEST(LaunchArguments, BuildsTheFourArgumentsWithoutQuoting) {
  struct Case {
    std::string bundle, manifest, flag;
  };
  const std::vector<Case> cases = {
      {"/Applications/Varquin.app", "/u/browser-imports/id/request.json",
       "--varquin-browser-import=/u/browser-imports/id/request.json"},
      {"/Applications/Varquin.app", "/Users/a b/Application Support/request.json",
       "--varquin-browser-import=/Users/a b/Application Support/request.json"},
      {"/Applications/Varquin.app", "/u/\"quoted\" 'x'/request.json",
       "--varquin-browser-import=/u/\"quoted\" 'x'/request.json"},
      // Each ill-formed sequence becomes one U+FFFD.
      {"/Applications/Varquin.app", "/u/bad\xff\xfe/r\xe2\x82.json",
       "--varquin-browser-import=/u/bad\xEF\xBF\xBD\xEF\xBF\xBD/r\xEF\xBF\xBD.json"},
      // The bundle goes over as raw bytes.
      {"/Apps/V\xff.app", "/m", "--varquin-browser-import=/m"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(launch_arguments(c.bundle, c.manifest),
              (std::vector<std::string>{"-n", c.bundle, "--args", c.flag}))
        << c.manifest;
  }
}

class LaunchTest : public ::testing::Test {
 protected:
  TempDir dir;
  BridgeConfig config = testing::config_for(dir / "user-data");
  std::string log = dir / "launches.log";
  std::string manifest = dir / "user data/browser-imports/id/request.json";
};

TEST_F(LaunchTest, PassesTheArgumentsToTheLauncherAsFourArgv) {
  ScopedEnv env;
  env.set("VARQUIN_FAKE_OPEN_LOG", log);
  ASSERT_TRUE(launch_with(kFakeOpen, config, manifest));
  ASSERT_TRUE(launch_with(kFakeOpen, config, "/second/request.json"));
  EXPECT_EQ(testing::read_file(log),
            "[\"-n\",\"/Applications/Varquin.app\",\"--args\",\"--varquin-browser-import=" +
                manifest + "\"]\n" +
                "[\"-n\",\"/Applications/Varquin.app\",\"--args\","
                "\"--varquin-browser-import=/second/request.json\"]\n");
}

TEST_F(LaunchTest, RefusesARelativeManifestBeforeStartingAnything) {
  ScopedEnv env;
  env.set("VARQUIN_FAKE_OPEN_LOG", log);
  for (const std::string relative : {"request.json", "browser-imports/id/request.json", ""}) {
    auto launched = launch_with(kFakeOpen, config, relative);
    ASSERT_FALSE(launched) << relative;
    EXPECT_EQ(launched.error().message, "The browser import manifest path is not absolute");
    EXPECT_EQ(launched.error().code, ErrorCode::AppLaunchFailed);
    EXPECT_TRUE(launched.error().retryable());
  }
  EXPECT_FALSE(testing::path_exists(log));
}

TEST_F(LaunchTest, ReportsABadLauncherEnding) {
  struct Case {
    const char* variable;
    std::string value;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"VARQUIN_FAKE_OPEN_EXIT", "1", "Varquin launcher exited with exit status: 1"},
      {"VARQUIN_FAKE_OPEN_EXIT", "42", "Varquin launcher exited with exit status: 42"},
      {"VARQUIN_FAKE_OPEN_SIGNAL", std::to_string(SIGKILL),
       "Varquin launcher exited with signal: " + std::to_string(SIGKILL) + " (SIGKILL)"},
      {"VARQUIN_FAKE_OPEN_SIGNAL", std::to_string(SIGTERM),
       "Varquin launcher exited with signal: " + std::to_string(SIGTERM) + " (SIGTERM)"},
  };
  for (const Case& c : cases) {
    ScopedEnv env;
    env.set(c.variable, c.value);
    auto launched = launch_with(kFakeOpen, config, manifest);
    ASSERT_FALSE(launched) << c.message;
    EXPECT_EQ(launched.error().message, c.message);
    EXPECT_EQ(launched.error().code, ErrorCode::AppLaunchFailed);
    EXPECT_TRUE(launched.error().retryable());
  }
}

TEST_F(LaunchTest, ReportsALauncherThatCannotBeStarted) {
  auto launched = launch_with(dir / "no-such-launcher", config, manifest);
  ASSERT_FALSE(launched);
  EXPECT_TRUE(launched.error().message.starts_with("Unable to launch Varquin: "))
      << launched.error().message;
  EXPECT_TRUE(launched.error().message.ends_with(" (os error " + std::to_string(ENOENT) + ")"))
      << launched.error().message;
  EXPECT_EQ(launched.error().code, ErrorCode::AppLaunchFailed);
  EXPECT_TRUE(launched.error().retryable());
}

TEST_F(LaunchTest, LaunchVarquinRunsTheCompiledInLauncher) {
  if (std::string(VARQUIN_CONFIGURED_LAUNCHER) != kFakeOpen) {
    GTEST_SKIP() << "built with the real launcher " << VARQUIN_CONFIGURED_LAUNCHER;
  }
  ScopedEnv env;
  env.set("VARQUIN_FAKE_OPEN_LOG", log);
  ASSERT_TRUE(launch_varquin(config, manifest));
  EXPECT_EQ(testing::read_file(log),
            "[\"-n\",\"/Applications/Varquin.app\",\"--args\",\"--varquin-browser-import=" +
                manifest + "\"]\n");
}

// Swaps this process's fd for another one while a launch runs, and puts it back.
class ScopedFd {
 public:
  ScopedFd(int target, int replacement) : target_(target), saved_(::dup(target)) {
    std::fflush(nullptr);
    ::dup2(replacement, target);
  }
  ~ScopedFd() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

 private:
  int target_;
  int saved_;
};

std::string drain(int fd) {
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string content;
  char buffer[256];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, got);
  return content;
}

// The launcher writes junk to its stdout and reads its stdin: neither may reach the bridge's
// protocol pipe, and the junk lands on the bridge's stderr.
TEST_F(LaunchTest, KeepsTheLauncherAwayFromTheProtocolPipe) {
  int in[2], out[2], err[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  const std::string pending = "a pending request frame";
  ASSERT_EQ(::write(in[1], pending.data(), pending.size()), static_cast<ssize_t>(pending.size()));

  ScopedEnv env;
  env.set("VARQUIN_FAKE_OPEN_NOISE", "1");
  Status launched;
  {
    ScopedFd stdin_swap(STDIN_FILENO, in[0]);
    ScopedFd stdout_swap(STDOUT_FILENO, out[1]);
    ScopedFd stderr_swap(STDERR_FILENO, err[1]);
    launched = launch_with(kFakeOpen, config, manifest);
  }
  for (int fd : {in[1], out[1], err[1]}) ::close(fd);
  std::string stdin_left = drain(in[0]), stdout_seen = drain(out[0]), stderr_seen = drain(err[0]);
  for (int fd : {in[0], out[0], err[0]}) ::close(fd);

  ASSERT_TRUE(launched) << launched.error().message;
  EXPECT_EQ(stdin_left, pending);
  EXPECT_EQ(stdout_seen, "");
  EXPECT_NE(stderr_seen.find("varquin-fake-open noise\n"), std::string::npos) << stderr_seen;
  // /dev/null gives end of input at once.
  EXPECT_NE(stderr_seen.find("read 0 bytes from stdin"), std::string::npos) << stderr_seen;
}

// The bridge ignores SIGPIPE for its own pipe; the launcher must start with the default action.
TEST_F(LaunchTest, DoesNotPassAnIgnoredSigpipeToTheLauncher) {
  const std::string report = dir / "sigpipe";
  ScopedEnv env;
  env.set("VARQUIN_FAKE_OPEN_SIGPIPE", report);
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  auto launched = launch_with(kFakeOpen, config, manifest);
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(launched) << launched.error().message;
  EXPECT_EQ(testing::read_file(report), "default");
}

}  // namespace
}  // namespace varquin
