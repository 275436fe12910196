// The installer across the Chromium family: which browsers it registers with by default, per user
// and for every user, on both systems' layouts, with a bridge embedded in the desktop app's bundle.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "support/bridge_process.h"
#include "support/test_support.h"

namespace varquin::testing {
namespace {

constexpr const char* kManifestName = "com.varquin.browser_bridge.json";
constexpr const char* kOtherId = "ponmlkjihgfedcbaponmlkjihgfedcba";

struct Scenario {
  const char* name;
  const char* layout;
  bool system;
  std::vector<std::string> used;      // browsers' data directories present, below HOME
  std::vector<std::string> expected;  // the manifest directories, below HOME or the system root
};

class InstallerBrowsers : public ::testing::TestWithParam<Scenario> {
 protected:
  TempDir home;
  // Embedded as the desktop app ships it, in a path with a space.
  const std::string bridge = home / "My Apps/Varquin.app/Contents/MacOS/varquin-browser-bridge";
  const std::string user_data = home / "Library/Application Support/Varquin";
  const std::string root = home / "system-root";

  void SetUp() override {
    make_directories(home / "My Apps/Varquin.app/Contents/MacOS");
    write_file(bridge, read_file(VARQUIN_BRIDGE_EXE));
    ASSERT_EQ(::chmod(bridge.c_str(), 0755), 0);
  }

  BridgeResult run(std::vector<std::string> arguments) {
    const Scenario& s = GetParam();
    arguments.insert(arguments.end(), {"--bridge", bridge, "--layout", s.layout});
    if (s.system) arguments.insert(arguments.end(), {"--system", "--system-root", root});
    return run_installer(home.path(), std::move(arguments));
  }

  // Every manifest of this bridge below HOME, as paths relative to it.
  std::set<std::string> manifests() const {
    std::set<std::string> found;
    for (const auto& [path, description] : snapshot_tree(home.path(), true)) {
      if (path.ends_with(std::string("/") + kManifestName)) found.insert(path);
    }
    return found;
  }
};

TEST_P(InstallerBrowsers, RegistersWhereTheBrowsersLookAndUninstallsEverywhere) {
  const Scenario& s = GetParam();
  for (const std::string& used : s.used) make_directories(home / used);
  std::vector<std::string> arguments{"--extension-id", kExtensionId, "--extension-id", kOtherId};
  if (!s.system)
    arguments.insert(arguments.end(),
                     {"--app-bundle", "/Applications/Varquin.app", "--user-data", user_data});
  BridgeResult installed = run(arguments);
  ASSERT_EQ(installed.exit_status, 0) << installed.output << installed.error;

  const std::string prefix = s.system ? "system-root/" : "";
  std::set<std::string> expected;
  for (const std::string& directory : s.expected) {
    expected.insert(prefix + directory + "/" + kManifestName);
  }
  EXPECT_EQ(manifests(), expected);
  const auto manifest = boost::json::parse(read_file(home / *expected.begin())).as_object();
  EXPECT_EQ(boost::json::serialize(manifest.at("allowed_origins")),
            "[\"" + std::string(kOrigin) + "\",\"chrome-extension://" + kOtherId + "/\"]");
  EXPECT_EQ(manifest.at("path").as_string(), bridge);
  if (!s.system) {
    auto config = BridgeConfig::load(user_data + "/browser-bridge/config.json");
    ASSERT_TRUE(config) << config.error().message;
    EXPECT_EQ(config->extension_id, kExtensionId);
    EXPECT_EQ(config->allowed_extension_origins.size(), 2u);
  }

  BridgeResult checked = run({"--check", "--json"});
  EXPECT_EQ(checked.exit_status, 0) << checked.output << checked.error;
  const auto diagnosis = boost::json::parse(checked.output).as_object();
  EXPECT_TRUE(diagnosis.at("ok").as_bool()) << checked.output;
  std::size_t checked_manifests = 0;
  for (const auto& section : diagnosis.at("sections").as_array()) {
    if (section.as_object().at("title").as_string().ends_with(" manifest")) ++checked_manifests;
  }
  EXPECT_EQ(checked_manifests, expected.size());

  // Another program's file of the same name is not this bridge's manifest: it stays.
  const std::string foreign = home / *expected.begin();
  write_file(foreign, "{\"name\": \"com.example.other\"}\n");
  BridgeResult removed = run({"--uninstall"});
  EXPECT_EQ(removed.exit_status, 0) << removed.output << removed.error;
  EXPECT_EQ(manifests(), (std::set<std::string>{*expected.begin()}));
  EXPECT_NE(removed.output.find("left alone"), std::string::npos) << removed.output;
}

const std::vector<std::string> kUsedLinux{".config/google-chrome", ".config/microsoft-edge",
                                          ".config/BraveSoftware/Brave-Browser"};
const std::vector<std::string> kUsedMac{"Library/Application Support/Google/Chrome",
                                        "Library/Application Support/Microsoft Edge",
                                        "Library/Application Support/BraveSoftware/Brave-Browser"};

std::vector<std::string> below(const std::vector<std::string>& directories,
                               const std::string& name) {
  std::vector<std::string> out;
  for (const std::string& directory : directories) out.push_back(directory + "/" + name);
  return out;
}

const Scenario kScenarios[] = {
    {"LinuxPerUser", "linux", false, kUsedLinux, below(kUsedLinux, "NativeMessagingHosts")},
    {"MacPerUser", "macos", false, kUsedMac, below(kUsedMac, "NativeMessagingHosts")},
    // For every user: every browser with a place there, whether used or not; channels share one.
    {"LinuxSystemWide",
     "linux",
     true,
     {},
     below({"etc/opt/chrome", "etc/chromium", "etc/opt/edge", "etc/opt/brave", "etc/opt/vivaldi"},
           "native-messaging-hosts")},
    {"MacSystemWide",
     "macos",
     true,
     {},
     below({"Library/Google/Chrome", "Library/Application Support/Chromium",
            "Library/Microsoft/Edge", "Library/Application Support/BraveSoftware/Brave-Browser",
            "Library/Application Support/Vivaldi"},
           "NativeMessagingHosts")},
};

INSTANTIATE_TEST_SUITE_P(Layouts, InstallerBrowsers, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& tested) {
                           return std::string(tested.param.name);
                         });

}  // namespace
}  // namespace varquin::testing
