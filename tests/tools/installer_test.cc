// varquin-bridge-install against a temporary home: what it writes and where, its refusals, its
// checks of an installation, and uninstalling.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "config/config.h"
#include "json/reader.h"
#include "staging/paths.h"
#include "support/bridge_process.h"
#include "support/test_support.h"
#include "toolkit/fs.h"
#include "util/path.h"

namespace varquin::testing {
namespace {

constexpr const char* kManifestName = "com.varquin.browser_bridge.json";

class Installer : public ::testing::Test {
 protected:
  Installer() {
    // This person has used Chrome and Chromium: the installer registers with those by default.
    for (const std::string& manifests : manifest_paths()) {
      make_directories(*util::parent_path(*util::parent_path(manifests)));
    }
    make_directories(home_ / "bin");
    bridge_ = home_ / "bin/varquin-browser-bridge";
    write_file(bridge_, read_file(VARQUIN_BRIDGE_EXE));
    EXPECT_EQ(::chmod(bridge_.c_str(), 0755), 0);
    // As an administrator installs it, whatever this process's umask.
    EXPECT_EQ(::chmod((home_ / "bin").c_str(), 0755), 0);
  }

  BridgeResult run(std::vector<std::string> arguments) {
    return run_installer(home_.path(), std::move(arguments));
  }

  std::vector<std::string> install_arguments() const {
    return {"--extension-id", kExtensionId, "--app-bundle", "/Applications/Varquin.app",
            "--user-data",    user_data(),  "--bridge",     bridge_};
  }
  BridgeResult install(std::vector<std::string> more = {}) {
    auto arguments = install_arguments();
    arguments.insert(arguments.end(), more.begin(), more.end());
    return run(arguments);
  }

  std::string user_data() const { return home_ / "Library/Application Support/Varquin"; }
  std::string config_path() const { return user_data() + "/browser-bridge/config.json"; }
  std::vector<std::string> manifest_paths() const {
#if defined(__APPLE__)
    const std::string base = home_ / "Library/Application Support/";
    return {base + "Google/Chrome/NativeMessagingHosts/" + kManifestName,
            base + "Chromium/NativeMessagingHosts/" + kManifestName};
#else
    return {home_ / ".config/google-chrome/NativeMessagingHosts/" + kManifestName,
            home_ / ".config/chromium/NativeMessagingHosts/" + kManifestName};
#endif
  }

  TempDir home_;
  std::string bridge_;
};

// The members of a flat JSON document by key.
std::map<std::string, json::Value> members_of(const std::string& text) {
  auto document = json::parse_document(text);
  EXPECT_TRUE(document) << text;
  std::map<std::string, json::Value> members;
  if (document) {
    for (auto& member : document->members) members.emplace(member.key, member.value);
  }
  return members;
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// A change of mode or owner to one file, undone when destroyed.
class ScopedExposure {
 public:
  static constexpr unsigned kKeep = ~0u;
  ScopedExposure(std::string path, mode_t mode, uid_t owner, gid_t group) : path_(std::move(path)) {
    EXPECT_EQ(::lstat(path_.c_str(), &saved_), 0) << path_;
    if (mode != 0) {
      EXPECT_EQ(::chmod(path_.c_str(), mode), 0) << path_;
    }
    if (owner != kKeep || group != kKeep) {
      EXPECT_EQ(::lchown(path_.c_str(), owner, group), 0) << path_;
    }
  }
  ~ScopedExposure() {
    EXPECT_EQ(::lchown(path_.c_str(), saved_.st_uid, saved_.st_gid), 0);
    EXPECT_EQ(::chmod(path_.c_str(), saved_.st_mode & 07777), 0);
  }
  ScopedExposure(const ScopedExposure&) = delete;
  ScopedExposure& operator=(const ScopedExposure&) = delete;

 private:
  std::string path_;
  struct stat saved_ {};
};

constexpr uid_t kOtherUser = 12345;
// A group no account file knows: who may be in it cannot be told.
constexpr gid_t kUnknownGroup = 54321;
constexpr unsigned kKeep = ScopedExposure::kKeep;

void replace_in_file(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = read_file(path);
  auto at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from << " not in " << text;
  write_file(path, text.replace(at, from.size(), to));
}

TEST_F(Installer, WritesTheManifestsAndTheConfigurationAndTheBridgeAnswersThroughThem) {
  BridgeResult result = install();
  ASSERT_EQ(result.exit_status, 0) << result.output << result.error;
  EXPECT_EQ(result.output.find("FAIL"), std::string::npos) << result.output;

  for (const std::string& path : manifest_paths()) {
    SCOPED_TRACE(path);
    auto manifest = members_of(read_file(path));
    EXPECT_EQ(manifest["name"].text, "com.varquin.browser_bridge");
    EXPECT_FALSE(manifest["description"].text.empty());
    EXPECT_EQ(manifest["path"].text, bridge_);
    EXPECT_EQ(manifest["type"].text, "stdio");
    EXPECT_EQ(manifest["allowed_origins"].kind, json::Value::Kind::StringArray);
    EXPECT_EQ(manifest["allowed_origins"].strings, std::vector<std::string>{kOrigin});
    EXPECT_EQ(manifest.size(), 5u);
  }

  auto config = BridgeConfig::load(config_path());
  ASSERT_TRUE(config) << config.error().message;
  EXPECT_EQ(config->extension_id, kExtensionId);
  EXPECT_EQ(config->app_bundle_path, "/Applications/Varquin.app");
  EXPECT_EQ(config->app_executable_path, std::nullopt);
  EXPECT_EQ(config->electron_user_data_path, user_data());
  EXPECT_EQ(config->allowed_extension_origins, std::vector<std::string>{kOrigin});
  EXPECT_NE(read_file(config_path()).find("\"appExecutablePath\": null"), std::string::npos);
  // Written by replacement: no temporary file is left beside it.
  EXPECT_EQ(list_names(user_data() + "/browser-bridge"), std::vector<std::string>{"config.json"});
  // Only the bridge, reading the written configuration, knows this directory: its heartbeat there
  // shows the self-check really started it.
  EXPECT_TRUE(path_exists(user_data() + "/browser-extension-heartbeat.json"));

  // Installing the same again is fine and changes nothing.
  const std::string before = read_file(config_path());
  BridgeResult again = install();
  EXPECT_EQ(again.exit_status, 0) << again.output << again.error;
  EXPECT_EQ(read_file(config_path()), before);
}

TEST_F(Installer, AGivenManifestDirectoryAndConfigurationPathAreUsedInstead) {
  const std::string profile_hosts = home_ / "profile/NativeMessagingHosts";
  const std::string config = home_ / "elsewhere/config.json";
  BridgeResult result = install({"--manifest-dir", profile_hosts, "--config", config});
  ASSERT_EQ(result.exit_status, 0) << result.output << result.error;
  EXPECT_TRUE(path_exists(profile_hosts + "/" + kManifestName));
  EXPECT_TRUE(BridgeConfig::load(config));
  for (const std::string& path : manifest_paths()) EXPECT_FALSE(path_exists(path)) << path;
  EXPECT_FALSE(path_exists(config_path()));
  // The browser would not find that configuration on its own.
  EXPECT_NE(result.output.find("VARQUIN_BROWSER_BRIDGE_CONFIG=" + config), std::string::npos);
}

TEST_F(Installer, RefusesInvalidInputAndWritesNothing) {
  const std::string not_executable = home_ / "bin/plain-file";
  write_file(not_executable, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(not_executable.c_str(), 0644), 0);
  const Snapshot untouched = snapshot_tree(home_.path());
  struct Case {
    const char* option;
    std::string value;
    const char* message;
  };
  const Case cases[] = {
      {"--extension-id", "abcdefghijklmnopabcdefghijklmnoP", "--extension-id"},
      {"--extension-id", "abcdefghijklmnopabcdefghijklmno", "31 characters"},
      {"--app-bundle", "Varquin.app", "--app-bundle \"Varquin.app\" must be an absolute path"},
      {"--user-data", "Varquin", "--user-data \"Varquin\" must be an absolute path"},
      {"--bridge", not_executable, "is not an executable file"},
      {"--bridge", home_ / "bin/missing", "does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto arguments = install_arguments();
    auto at = std::find(arguments.begin(), arguments.end(), c.option);
    ASSERT_NE(at, arguments.end());
    *(at + 1) = c.value;
    BridgeResult result = run(arguments);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
    EXPECT_EQ(compare_snapshots(untouched, snapshot_tree(home_.path())),
              std::vector<std::string>{});
  }

  BridgeResult dry = install({"--dry-run"});
  EXPECT_EQ(dry.exit_status, 0) << dry.error;
  EXPECT_NE(dry.output.find("\"allowed_origins\""), std::string::npos);
  EXPECT_EQ(compare_snapshots(untouched, snapshot_tree(home_.path())), std::vector<std::string>{});
}

TEST_F(Installer, KeepsTheSameSettingsAndReplacesDifferentOnesOnlyWithForce) {
  make_directories(user_data() + "/browser-bridge");
  // The same settings, written by hand on one line: kept as they are.
  const std::string same =
      R"({"schema":"varquin.browser-bridge.config.v2",)"
      R"("extensionId":"abcdefghijklmnopabcdefghijklmnop",)"
      R"("appBundlePath":"/Applications/Varquin.app","electronUserDataPath":")" +
      user_data() + R"(","allowedExtensionOrigins":[")" + kOrigin + R"("]})";
  write_file(config_path(), same);
  // Kept as written, but closed to other users: the bridge would refuse it as it was.
  ASSERT_EQ(::chmod(config_path().c_str(), 0666), 0);
  BridgeResult kept = install();
  EXPECT_EQ(kept.exit_status, 0) << kept.output << kept.error;
  EXPECT_EQ(read_file(config_path()), same);
  EXPECT_EQ(mode_of(config_path()), 0600u);
  for (const std::string& path : manifest_paths()) ASSERT_TRUE(toolkit::remove_file(path));

  const std::string theirs = R"({"schema":"varquin.browser-bridge.config.v2",)"
                             R"("extensionId":"ponmlkjihgfedcbaponmlkjihgfedcba",)"
                             R"("appBundlePath":"/Applications/Varquin.app",)"
                             R"("electronUserDataPath":"/Users/someone/Varquin",)"
                             R"("allowedExtensionOrigins":)"
                             R"(["chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"]})";
  write_file(config_path(), theirs);

  BridgeResult refused = install();
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.error.find("--force"), std::string::npos) << refused.error;
  EXPECT_NE(refused.error.find("extensionId"), std::string::npos) << refused.error;
  EXPECT_EQ(read_file(config_path()), theirs);
  for (const std::string& path : manifest_paths()) EXPECT_FALSE(path_exists(path)) << path;

  BridgeResult forced = install({"--force"});
  EXPECT_EQ(forced.exit_status, 0) << forced.output << forced.error;
  auto config = BridgeConfig::load(config_path());
  ASSERT_TRUE(config);
  EXPECT_EQ(config->extension_id, kExtensionId);
}

TEST_F(Installer, CheckFindsTheUsualFaultsOfAnInstallation) {
  const std::string chromium = manifest_paths()[1];
  // A host in place of the bridge in every manifest: a shell script around it.
  auto host_script = [&](const std::string& name, const std::string& body) {
    const std::string script = home_ / ("bin/" + name);
    write_file(script, "#!/bin/sh\n" + body + "\n");
    EXPECT_EQ(::chmod(script.c_str(), 0755), 0);
    for (const std::string& manifest : manifest_paths()) {
      replace_in_file(manifest, "\"" + bridge_ + "\"", "\"" + script + "\"");
    }
  };
  struct Case {
    const char* fault;
    std::function<void()> make;
    std::vector<std::string> arguments;
    const char* verdict;        // in the FAIL line; empty: every check passes
    const char* kind = "FAIL";  // "WARN": the verdict is a warning, and the check passes
  };
  const std::string profile = home_ / "profile";
  const Case cases[] = {
      {"none", [] {}, {}, ""},
      // The browser starts a host in its own directory; so must the check.
      {"a host that needs its own directory as working directory",
       [&] {
         host_script("needs-own-directory", "[ \"$(pwd -P)\" = \"" + home_ / "bin" +
                                                "\" ] || exit 9\nexec \"" + bridge_ + "\" \"$@\"");
       },
       {"--bridge", home_ / "bin/needs-own-directory"},
       ""},
      {"no manifest for a browser that is used",
       [&] { ASSERT_EQ(::unlink(chromium.c_str()), 0); },
       {},
       "Specified native messaging host not found"},
      {"relative path",
       [&] { replace_in_file(chromium, "\"" + bridge_ + "\"", "\"bin/varquin-browser-bridge\""); },
       {},
       "\"path\" \"bin/varquin-browser-bridge\" is relative"},
      {"another bridge",
       [&] { replace_in_file(chromium, "\"" + bridge_ + "\"", "\"" + home_ / "bin/old-bridge\""); },
       {},
       "another bridge than"},
      {"origin without the trailing slash",
       [&] {
         const std::string origin = kOrigin;
         replace_in_file(chromium, origin + "\"", origin.substr(0, origin.size() - 1) + "\"");
       },
       {},
       "lacks the trailing \"/\""},
      {"origins without this extension",
       [] {},
       {"--extension-id", "ponmlkjihgfedcbaponmlkjihgfedcba"},
       "Access to the specified native messaging host is forbidden"},
      {"name with capitals",
       [&] {
         replace_in_file(chromium, "\"com.varquin.browser_bridge\"",
                         "\"com.Varquin.browser_bridge\"");
       },
       {},
       "accept only lower-case"},
      {"name unlike the file name",
       [&] {
         replace_in_file(chromium, "\"com.varquin.browser_bridge\"", "\"com.varquin.bridge\"");
       },
       {},
       "\"name\" is \"com.varquin.bridge\""},
      {"host not executable",
       [&] { ASSERT_EQ(::chmod(bridge_.c_str(), 0644), 0); },
       {},
       "is not an executable file"},
      // Slowness is the machine's, not a broken installation.
      {"host slower than a second",
       [&] { host_script("slow", "sleep 2\nexec \"" + bridge_ + "\" \"$@\""); },
       {"--bridge", home_ / "bin/slow"},
       "to answer ping",
       "WARN"},
      {"host that never answers",
       [&] { host_script("silent", "exit 0"); },
       {"--bridge", home_ / "bin/silent"},
       "gave no answer to ping"},
      {"host that prints besides its frames",
       [&] { host_script("noisy", "\"" + bridge_ + "\" \"$@\"\necho noise"); },
       {"--bridge", home_ / "bin/noisy"},
       "bytes on standard output besides its answer"},
      {"configuration unreadable",
       [&] { write_file(config_path(), "{"); },
       {},
       "Browser bridge config is invalid"},
      {"configuration for another extension",
       [&] {
         replace_in_file(config_path(), "abcdefghijklmnopabcdefghijklmnop/",
                         "ponmlkjihgfedcbaponmlkjihgfedcba/");
       },
       {},
       "the configuration does not allow"},
      {"user data reached through a link",
       [&] {
         // Made by an earlier case already, or now.
         [[maybe_unused]] const int linked =
             ::symlink((home_ / "Library").c_str(), (home_ / "linked").c_str());
         replace_in_file(config_path(), "\"" + user_data() + "\"",
                         "\"" + home_ / "linked/Application Support/Varquin\"");
       },
       {},
       "is reached through a symbolic link"},
      {"manifest outside a browser's directory",
       [&] {
         make_directories(profile);
         write_file(profile + "/" + kManifestName, read_file(chromium));
       },
       {"--manifest-dir", profile},
       "not a directory any browser reads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    BridgeResult installed = install({"--force"});
    ASSERT_EQ(installed.exit_status, 0) << installed.output << installed.error;
    c.make();
    // The bridge the manifest must name: ours, unless the case names its own.
    std::vector<std::string> arguments{"--check"};
    if (std::find(c.arguments.begin(), c.arguments.end(), "--bridge") == c.arguments.end()) {
      arguments.insert(arguments.end(), {"--bridge", bridge_});
    }
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    BridgeResult checked = run(arguments);
    ASSERT_EQ(::chmod(bridge_.c_str(), 0755), 0);
    if (std::string(c.verdict).empty()) {
      EXPECT_EQ(checked.exit_status, 0) << checked.output << checked.error;
      EXPECT_EQ(checked.output.find("FAIL"), std::string::npos) << checked.output;
      continue;
    }
    const bool warning = std::string(c.kind) == "WARN";
    EXPECT_EQ(checked.exit_status, warning ? 0 : 1) << checked.output << checked.error;
    auto line = checked.output.find(std::string("  ") + c.kind + " ");
    ASSERT_NE(line, std::string::npos) << checked.output;
    EXPECT_NE(checked.output.find(c.verdict, line), std::string::npos) << checked.output;
  }
}

TEST_F(Installer, WritesWhatOnlyItsOwnerMayChangeWhateverTheUmask) {
  for (const mode_t mask : {mode_t{000}, mode_t{022}, mode_t{002}, mode_t{077}}) {
    for (const bool system : {false, true}) {
      const std::string top =
          home_ / ("umask-" + std::to_string(mask) + (system ? "-system" : "-user"));
      SCOPED_TRACE(top);
      std::vector<std::string> arguments{"--extension-id", kExtensionId, "--bridge", bridge_};
      if (system) {
        arguments.insert(arguments.end(),
                         {"--system", "--system-root", top, "--browser", "chrome"});
      } else {
        arguments.insert(arguments.end(),
                         {"--app-bundle", "/Applications/Varquin.app", "--user-data", user_data(),
                          "--manifest-dir", top + "/profile/NativeMessagingHosts", "--config",
                          top + "/browser-bridge/config.json"});
      }
      // The installer inherits this process's umask.
      const mode_t saved = ::umask(mask);
      BridgeResult result = run(arguments);
      ::umask(saved);
      ASSERT_EQ(result.exit_status, 0) << result.output << result.error;
      // Each directory it created and each file it wrote, by kind and mode ("d 0700").
      std::map<std::string, std::string> written;
      for (const auto& [path, description] : snapshot_tree(top)) {
        written[path] = description.substr(0, 6);
      }
      const std::string manifest = std::string("/") + kManifestName;
      if (system) {
        EXPECT_EQ(mode_of(top), 0755u);
        for (const auto& [path, mode] : written) {
          EXPECT_EQ(mode, path.ends_with(manifest) ? "f 0644" : "d 0755") << path;
        }
      } else {
        EXPECT_EQ(mode_of(top), 0700u);
        const std::map<std::string, std::string> expected = {
            {"browser-bridge", "d 0700"},
            {"browser-bridge/config.json", "f 0600"},
            {"profile", "d 0700"},
            {"profile/NativeMessagingHosts", "d 0700"},
            {"profile/NativeMessagingHosts" + manifest, "f 0644"},
        };
        EXPECT_EQ(written, expected);
      }
    }
  }
}

TEST_F(Installer, CheckFlagsWhatAnotherUserMayChange) {
  // The app reached through a relative link: what the link leads through counts too.
  const std::string app = home_ / "Apps/Varquin.app";
  make_directories(home_ / "Real/Varquin.app");
  make_directories(home_ / "Apps");
  ASSERT_EQ(::symlink("../Real/Varquin.app", app.c_str()), 0);
  for (const char* directory : {"Apps", "Real"}) {
    ASSERT_EQ(::chmod((home_ / directory).c_str(), 0755), 0);
  }
  auto arguments = install_arguments();
  arguments[3] = app;
  BridgeResult installed = run(arguments);
  ASSERT_EQ(installed.exit_status, 0) << installed.output << installed.error;
  const std::string manifest = manifest_paths()[0];
  struct Case {
    const char* what;
    std::string path;
    mode_t mode;  // 0: left as it is
    uid_t owner;
    gid_t group;
    const char* verdict;  // after the path in the FAIL line; nullptr: every check passes
  };
  const Case cases[] = {
      {"a configuration every user may write", config_path(), 0666, kKeep, kKeep,
       "it is writable by every user (mode 0666); chmod go-w"},
      {"another user's configuration", config_path(), 0, kOtherUser, kKeep,
       "it is owned by another user (uid 12345)"},
      {"the configuration's directory, writable by a group", user_data() + "/browser-bridge", 0770,
       kKeep, kUnknownGroup, "it is writable by group 54321"},
      {"a manifest every user may write", manifest, 0646, kKeep, kKeep,
       "it is writable by every user (mode 0646)"},
      {"the manifest's directory", *util::parent_path(manifest), 0777, kKeep, kKeep,
       "it is writable by every user (mode 0777)"},
      {"the bridge", bridge_, 0777, kKeep, kKeep, "it is writable by every user (mode 0777)"},
      {"another user's directory above the bridge", home_ / "bin", 0, kOtherUser, kKeep,
       "it is owned by another user (uid 12345)"},
      {"the directory above the app", home_ / "Apps", 0757, kKeep, kKeep,
       "it is writable by every user (mode 0757)"},
      {"the directory the link to the app leads into", home_ / "Real", 0757, kKeep, kKeep,
       "it is writable by every user (mode 0757)"},
      // Only an entry's owner may replace it there, as in /tmp.
      {"a sticky directory every user may write", home_ / "bin", 01777, kKeep, kKeep, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != kKeep || c.group != kKeep) {
      // Giving a file away takes root.
      if (::geteuid() != 0) continue;
    }
    ScopedExposure exposure(c.path, c.mode, c.owner, c.group);
    BridgeResult checked = run({"--check", "--bridge", bridge_});
    if (c.verdict == nullptr) {
      EXPECT_EQ(checked.exit_status, 0) << checked.output << checked.error;
      continue;
    }
    EXPECT_EQ(checked.exit_status, 1) << checked.output << checked.error;
    const std::string line = "FAIL  " + c.path + " may be changed by another user: " + c.verdict;
    EXPECT_NE(checked.output.find(line), std::string::npos) << line << "\n" << checked.output;
  }
}

TEST_F(Installer, RegistersForEveryUserOnlyABridgeNoOneButRootMayReplace) {
  const std::string root = home_ / "system-root";
  const std::vector<std::string> install{"--system",   "--system-root", root,
                                         "--browser",  "chrome",        "--extension-id",
                                         kExtensionId, "--bridge",      bridge_};
  std::vector<std::string> check = install;
  check.push_back("--check");
  BridgeResult installed = run(install);
  ASSERT_EQ(installed.exit_status, 0) << installed.output << installed.error;
  const Snapshot registered = snapshot_tree(root);
  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    uid_t owner;
    std::string verdict;
  };
  struct stat bin {};
  ASSERT_EQ(::stat((home_ / "bin").c_str(), &bin), 0);
  const Case cases[] = {
      // Whoever is in the group, even root's own: what every user runs is root's alone.
      {"a group may write the bridge's directory", home_ / "bin", 0775, kKeep,
       "it is writable by group " + std::to_string(bin.st_gid) + " (mode 0775)"},
      {"every user may write the bridge", bridge_, 0757, kKeep,
       "it is writable by every user (mode 0757)"},
      {"another user owns the bridge", bridge_, 0, kOtherUser,
       "it is owned by another user (uid 12345)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != kKeep && ::geteuid() != 0) continue;
    ScopedExposure exposure(c.path, c.mode, c.owner, kKeep);
    const std::string fault = c.path + " may be changed by someone other than root: " + c.verdict;
    BridgeResult checked = run(check);
    EXPECT_EQ(checked.exit_status, 1) << checked.output << checked.error;
    EXPECT_NE(checked.output.find("FAIL  " + fault), std::string::npos) << checked.output;
    BridgeResult refused = run(install);
    EXPECT_EQ(refused.exit_status, 2) << refused.output << refused.error;
    EXPECT_NE(refused.error.find("not registering " + bridge_ + " for every user"),
              std::string::npos)
        << refused.error;
    EXPECT_NE(refused.error.find(fault), std::string::npos) << refused.error;
    EXPECT_NE(refused.error.find("and pass --bridge"), std::string::npos) << refused.error;
    EXPECT_EQ(compare_snapshots(registered, snapshot_tree(root)), std::vector<std::string>{});
  }
}

TEST_F(Installer, ReadsOptionsAsGetoptLongDoes) {
  struct Case {
    std::vector<std::string> more;  // after the install arguments
    const char* error;              // nullptr: accepted
  };
  const Case cases[] = {
      {{"--dry-run", "--"}, nullptr},
      {{"--dry-run", "--config=" + home_ / "other.json"}, nullptr},
      {{"--dry-run", "--", "--force"}, "unknown argument --force"},
      {{"--dry-run", "stray"}, "unknown argument stray"},
      {{"--dry-run=yes"}, "--dry-run takes no value"},
      {{"--dry-run", "--config"}, "--config needs a value"},
      {{"--dry-run", "--bridge=" + bridge_}, "--bridge is given twice"},
      {{"--dry-run", "--no-such-option"}, "unknown argument --no-such-option"},
  };
  for (const Case& c : cases) {
    auto arguments = install_arguments();
    arguments.insert(arguments.end(), c.more.begin(), c.more.end());
    SCOPED_TRACE(c.more.back());
    BridgeResult result = run(arguments);
    if (c.error == nullptr) {
      EXPECT_EQ(result.exit_status, 0) << result.error;
      EXPECT_NE(result.output.find("Would write the configuration"), std::string::npos);
    } else {
      EXPECT_EQ(result.exit_status, 2);
      EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    }
  }
  // Every value may follow its option after "=".
  BridgeResult joined =
      run({"--extension-id=" + std::string(kExtensionId), "--app-bundle=/Applications/Varquin.app",
           "--user-data=" + user_data(), "--bridge=" + bridge_, "--dry-run"});
  EXPECT_EQ(joined.exit_status, 0) << joined.error;
  EXPECT_NE(joined.output.find("\"path\": \"" + bridge_ + "\""), std::string::npos)
      << joined.output;
}

// macOS keeps $TMPDIR below the link /var: a store there would refuse every staging request.
TEST_F(Installer, WritesAUserDataDirectoryReachedThroughALinkResolved) {
  make_directories(home_ / "Library");
  ASSERT_EQ(::symlink((home_ / "Library").c_str(), (home_ / "linked").c_str()), 0);
  auto arguments = install_arguments();
  arguments[5] = home_ / "linked/Application Support/Varquin";
  BridgeResult result = run(arguments);
  ASSERT_EQ(result.exit_status, 0) << result.output << result.error;
  EXPECT_NE(result.output.find("is reached through a symbolic link"), std::string::npos)
      << result.output;
  EXPECT_EQ(BridgeConfig::load(config_path()).value().electron_user_data_path, user_data());
}

TEST_F(Installer, UninstallRemovesTheManifestsAndTheConfigurationOnlyWhenAsked) {
  ASSERT_EQ(install().exit_status, 0);
  BridgeResult removed = run({"--uninstall"});
  EXPECT_EQ(removed.exit_status, 0) << removed.error;
  for (const std::string& path : manifest_paths()) {
    EXPECT_FALSE(path_exists(path)) << path;
    EXPECT_NE(removed.output.find("removed: " + path), std::string::npos) << removed.output;
  }
  EXPECT_TRUE(path_exists(config_path()));

  BridgeResult with_config = run({"--uninstall", "--remove-config"});
  EXPECT_EQ(with_config.exit_status, 0) << with_config.error;
  EXPECT_FALSE(path_exists(config_path()));
  EXPECT_NE(with_config.output.find("removed: " + config_path()), std::string::npos);
}

}  // namespace
}  // namespace varquin::testing
