// The bridge behind a real browser: Debian's Chromium, headless, loads the project's test
// extension, which drives both roads through Chrome's own native-messaging implementation.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/bridge_fixture.h"
#include "toolkit/chromium.h"

namespace varquin::testing {
namespace {

constexpr const char* kHostName = "com.varquin.browser_bridge";
const std::string kExtensionSource = std::string(VARQUIN_SOURCE_DIR) + "/tests/browser/extension";
const std::string kClientModule =
    std::string(VARQUIN_SOURCE_DIR) + "/peers/extension/varquin-bridge.js";

// The extension's ID, from the "key" of its manifest.
std::string extension_id_of(const std::string& manifest) {
  std::smatch key;
  EXPECT_TRUE(std::regex_search(manifest, key, std::regex(R"re("key":\s*"([^"]+)")re")));
  std::optional<std::string> id = toolkit::chromium_extension_id(key[1].str());
  EXPECT_TRUE(id.has_value());
  return id.value_or("");
}

// The first console report tagged `tag`; none when the extension reports an error or the
// deadline passes first.
std::optional<std::string> wait_for(toolkit::ChromiumProcess& browser, const std::string& tag,
                                    std::chrono::seconds limit) {
  const auto deadline = toolkit::ChromiumProcess::Clock::now() + limit;
  while (auto report = browser.next("VARQUIN_E2E ", deadline)) {
    if (report->starts_with(tag + " ")) return report->substr(tag.size() + 1);
    if (report->starts_with("error ")) return std::nullopt;
  }
  return std::nullopt;
}

// Processes still running the bridge executable for this extension, by their command lines (ps
// works alike on Linux and macOS): the browser starts the bridge by the path in its manifest with
// the caller's origin; other tests' bridges run for another extension. None when ps fails.
std::optional<int> running_bridges(const std::string& extension_id) {
  BridgeRun ps;
  ps.executable = "/bin/ps";
  ps.arguments = {"-A", "-o", "args="};
  BridgeResult listed = run_bridge(ps);
  if (listed.exit_status != 0) return std::nullopt;
  const std::string started_as =
      std::string(VARQUIN_BRIDGE_EXE) + " chrome-extension://" + extension_id + "/";
  int count = 0;
  std::istringstream lines(listed.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(started_as)) ++count;
  }
  return count;
}

std::string status_of(const boost::json::value& outcome) {
  return std::string(outcome.at("status").as_string());
}

// Another bridge's hold on the staging lock, until released.
class HeldStagingLock {
 public:
  explicit HeldStagingLock(const std::string& imports_root) {
    make_directories(imports_root);
    fd_ = platform::UniqueFd(
        ::open((imports_root + "/.bridge.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    held_ = fd_.get() >= 0 && ::flock(fd_.get(), LOCK_EX) == 0;
  }
  bool held() const { return held_; }
  void release() { fd_.reset(); }

 private:
  platform::UniqueFd fd_;
  bool held_ = false;
};

class ChromiumEndToEnd : public BridgeFixture {
 protected:
  std::string browser_program;

  void SetUp() override {
    auto found = toolkit::find_chromium();
    if (!found) GTEST_SKIP() << "no Chromium is installed (VARQUIN_TEST_BROWSER names one)";
    browser_program = *found;
    if (!launcher_is_stand_in()) GTEST_SKIP() << "built without the stand-in launcher";
  }

  // A copy of the extension with the client module the extension ships and this run's
  // parameters beside its worker.
  std::string prepare_extension(const std::string& params) {
    const std::string directory = home_ / "extension";
    std::filesystem::copy(kExtensionSource, directory, std::filesystem::copy_options::recursive);
    std::filesystem::copy_file(kClientModule, directory + "/varquin-bridge.js");
    write_file(directory + "/params.js", params);
    return directory;
  }

  // The browser's own profile under this HOME, where it keeps it when not told otherwise.
  std::string default_profile() const {
#if defined(__APPLE__)
    const bool for_testing = browser_program.find("for Testing") != std::string::npos;
    return home_ / (for_testing ? "Library/Application Support/Google/Chrome for Testing"
                                : "Library/Application Support/Chromium");
#else
    return home_ / ".config/chromium";
#endif
  }

  // Registers the bridge with the project's installer as a person would, naming no browser: it
  // finds the browser by its profile and also writes the configuration and checks both.
  void register_host(const std::string& profile, const std::string& extension_id) {
    make_directories(profile);
    BridgeRun install;
    install.executable = VARQUIN_INSTALLER_EXE;
    install.environment = environment_;
    install.environment.erase("XDG_CONFIG_HOME");
    install.arguments = {
        "--extension-id", extension_id, "--app-bundle", "/Applications/Varquin.app",
        "--user-data",    user_data(),  "--bridge",     VARQUIN_BRIDGE_EXE,
        "--config",       config_path_, "--force"};
    BridgeResult result = run_bridge(install);
    ASSERT_EQ(result.exit_status, 0) << result.output << result.error;
    ASSERT_TRUE(path_exists(profile + "/NativeMessagingHosts/" + kHostName + ".json"));
  }
};

TEST_F(ChromiumEndToEnd, BothRoadsThroughChromesNativeMessaging) {
  const std::string upload_id = "3f2c8a4e-9b1d-4c7e-8f60-2a5b7c9d1e03";
  const std::string array_buffer_id = "5a6b7c8d-1e2f-4a3b-9c4d-5e6f7a8b9c0d";
  const std::string blob_id = "6b7c8d9e-2f3a-4b4c-8d5e-6f7a8b9c0d1e";
  const std::string browser_download_id = "7c8d9e0f-3a4b-4c5d-9e6f-7a8b9c0d1e2f";
  const std::string download_id = "8d4e1f2a-6c3b-4a59-9e7d-0b1c2d3e4f56";
  const std::string download_dir = home_ / ("Downloads/Varquin Inbox/" + download_id);
  const std::string download_file = download_dir + "/measurements.csv";
  make_directories(download_dir);
  write_file(download_file, "id,value\n1,42\n");

  // Larger than one frame carries, so the client cuts it into several chunks.
  std::string csv = "country,year,gdp\n";
  while (csv.size() < 2'000'000) csv += "NL," + std::to_string(1900 + csv.size() % 125) + ",1.2\n";
  const std::string extension = prepare_extension(
      "export default {pingId: 'ping-1', uploadId: '" + upload_id + "', arrayBufferId: '" +
      array_buffer_id + "', blobId: '" + blob_id + "', browserDownloadId: '" + browser_download_id +
      "', browserDownloadText: 'id,value\\n2,43\\n', uploadName: 'gdp.csv', uploadBase64: '" +
      base64(csv) + "', downloadDirectory: '" + download_dir + "', downloadFile: '" +
      download_file + "', downloadName: 'measurements.csv'};\n");
  const std::string extension_id = extension_id_of(read_file(extension + "/manifest.json"));
  const std::string profile = default_profile();
  ASSERT_NO_FATAL_FAILURE(register_host(profile, extension_id));
  // The installer's own check started the bridge once; only the browser's starts count below.
  ::unlink((user_data() + "/browser-extension-heartbeat.json").c_str());
  // Another bridge holds the store until the client has been refused and is about to retry.
  HeldStagingLock other_bridge(imports_root());
  ASSERT_TRUE(other_bridge.held());

  auto variables = environment_;
  variables["TMPDIR"] = home_.path();
  std::vector<std::string> environment;
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  toolkit::ChromiumProcess browser(
      {browser_program, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--disable-quic", "--enable-logging=stderr", "--user-data-dir=" + profile,
       "--load-extension=" + extension},
      environment, /*keep_log=*/true);
  EXPECT_FALSE(browser.failure()) << browser.failure().value_or("");

  auto retry = wait_for(browser, "retry", std::chrono::seconds(60));
  ASSERT_TRUE(retry) << browser.log();
  EXPECT_EQ(boost::json::parse(*retry).at("code").as_string(), "lock_timeout");
  other_bridge.release();
  auto staged = wait_for(browser, "staged", std::chrono::seconds(60));
  ASSERT_TRUE(staged) << browser.log();
  // The browser's file was only read; the extension may clean up once it is gone.
  ASSERT_EQ(::unlink(download_file.c_str()), 0);
  auto done = wait_for(browser, "done", std::chrono::seconds(60));
  ASSERT_TRUE(done) << browser.log();
  // Closing its ports ends every bridge the browser started, the aborted upload's among them,
  // while the browser still runs.
  std::optional<int> left = running_bridges(extension_id);
  for (int i = 0; i < 50 && left.value_or(0) > 0; ++i, left = running_bridges(extension_id)) {
    ::usleep(100'000);
  }
  EXPECT_EQ(left, 0);
  browser.stop();

  const auto results = boost::json::parse(*done).as_object();
  EXPECT_EQ(status_of(results.at("ping")), "pong");
  EXPECT_EQ(status_of(results.at("upload")), "staged_and_launched");
  const auto& retries = results.at("retries").as_array();
  EXPECT_FALSE(retries.empty());
  for (const auto& retried : retries) EXPECT_EQ(retried.at("code").as_string(), "lock_timeout");
  // Every attempt reports its chunks, the last one reaching the whole size.
  const auto& progress = results.at("progress").as_array();
  const auto size = static_cast<std::int64_t>(csv.size());
  ASSERT_GE(progress.size(), 4u);
  EXPECT_LT(progress.front().at(0).as_int64(), size);
  EXPECT_EQ(progress.back().at(0).as_int64(), size);
  for (const auto& report : progress) EXPECT_EQ(report.at(1).as_int64(), size);
  EXPECT_EQ(status_of(results.at("arrayBuffer")), "staged_and_launched");
  EXPECT_EQ(status_of(results.at("blob")), "staged_and_launched");
  EXPECT_EQ(status_of(results.at("stageDownload")), "staged_and_launched");
  EXPECT_EQ(status_of(results.at("cleanup")), "download_container_cleaned");
  // The README's download road: saved by Chrome into the managed inbox, staged, cleaned up.
  const auto& saved = results.at("browserDownload").as_object();
  EXPECT_EQ(status_of(saved.at("staged")), "staged_and_launched");
  EXPECT_EQ(status_of(saved.at("cleaned")), "download_container_cleaned");
  const std::string saved_file(saved.at("file").as_string());
  EXPECT_TRUE(saved_file.ends_with("/Varquin Inbox/" + browser_download_id + "/saved.csv"))
      << saved_file;
  EXPECT_FALSE(path_exists(std::filesystem::path(saved_file).parent_path()));
  EXPECT_EQ(read_file(imports_root() + "/" + browser_download_id + "/saved.csv"),
            "id,value\n2,43\n");

  // The aborted upload named its request before it began and left nothing in the store.
  const auto& aborted = results.at("aborted").as_object();
  EXPECT_EQ(aborted.at("code").as_string(), "aborted");
  EXPECT_TRUE(aborted.at("sameId").as_bool());
  const std::string aborted_id(aborted.at("requestId").as_string());
  EXPECT_FALSE(aborted_id.empty());
  for (const auto& entry : std::filesystem::directory_iterator(imports_root())) {
    EXPECT_EQ(entry.path().filename().string().find(aborted_id), std::string::npos) << entry.path();
  }

  // The store, the launcher's record and the heartbeat.
  for (const std::string& id : {upload_id, array_buffer_id, blob_id}) {
    EXPECT_EQ(read_file(imports_root() + "/" + id + "/gdp.csv"), csv) << id;
  }
  EXPECT_EQ(read_file(imports_root() + "/" + download_id + "/measurements.csv"),
            "id,value\n1,42\n");
  EXPECT_FALSE(path_exists(download_dir));
  const auto calls = launcher_calls();
  const std::vector<std::string> launched{upload_id, array_buffer_id, blob_id, download_id,
                                          browser_download_id};
  ASSERT_EQ(calls.size(), launched.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_NE(calls[i].find("--varquin-browser-import=" + imports_root() + "/" + launched[i] +
                            "/request.json"),
              std::string::npos)
        << calls[i];
  }
  EXPECT_NE(read_file(user_data() + "/browser-extension-heartbeat.json")
                .find("\"extensionId\":\"" + extension_id + "\""),
            std::string::npos);

  // And none outlives the browser.
  EXPECT_EQ(running_bridges(extension_id), 0);
}

}  // namespace
}  // namespace varquin::testing
