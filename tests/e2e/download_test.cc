// The download road and the heartbeat through the executable, against the stand-in launcher.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>

#include "support/bridge_fixture.h"
#include "toolkit/fs.h"

namespace varquin::testing {
namespace {

class DownloadEndToEnd : public BridgeFixture {
 protected:
  void SetUp() override {
    if (!launcher_is_stand_in()) GTEST_SKIP() << "built without the stand-in launcher";
    make_directories(request_dir());
    write_file(browser_file(), "id,value\n1,42\n");
  }

  std::string inbox() const { return home_ / "Downloads/Varquin Inbox"; }
  std::string request_dir(const std::string& id = kRequestId) const { return inbox() + "/" + id; }
  std::string browser_file() const { return request_dir() + "/report.csv"; }
  std::string stage_dir() const { return imports_root() + "/" + kRequestId; }
  std::string stage() { return request::stage_download(kRequestId, browser_file(), "report.csv"); }

  std::string ok(const std::string& status, const char* reused = nullptr) {
    std::string text =
        std::string(R"({"ok":true,"requestId":")") + kRequestId + R"(","status":")" + status + "\"";
    if (reused) text += std::string(R"(,"reused":)") + reused;
    return text + "}";
  }
  std::string failed(const std::string& code, bool retryable) {
    return std::string(R"({"ok":false,"requestId":")") + kRequestId + R"(","code":")" + code +
           R"(","retryable":)" + (retryable ? "true" : "false") + "}";
  }
};

TEST_F(DownloadEndToEnd, StagesACopyLaunchesAndLeavesTheBrowserFileAlone) {
  struct stat before {};
  ASSERT_EQ(::stat(browser_file().c_str(), &before), 0);
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{ok("staged_and_launched", "false")});

  EXPECT_EQ(read_file(stage_dir() + "/report.csv"), "id,value\n1,42\n");
  const std::string manifest = read_file(stage_dir() + "/request.json");
  EXPECT_NE(manifest.find("\"originalSourcePath\": \"" + browser_file() + "\",\n"),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("\"filePath\": \"" + stage_dir() + "/report.csv\",\n"),
            std::string::npos);
  struct stat after {};
  ASSERT_EQ(::stat(browser_file().c_str(), &after), 0);
  EXPECT_EQ(read_file(browser_file()), "id,value\n1,42\n");
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(platform::modification_time(after).seconds,
            platform::modification_time(before).seconds);
  EXPECT_EQ(platform::modification_time(after).nanoseconds,
            platform::modification_time(before).nanoseconds);
  EXPECT_EQ(launcher_calls(),
            std::vector<std::string>{R"(["-n","/Applications/Varquin.app","--args",)"
                                     R"("--varquin-browser-import=)" +
                                     stage_dir() + R"(/request.json"])"});

  // A repeat reuses the stage and launches again; other content under the same ID is refused.
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{ok("staged_and_launched", "true")});
  EXPECT_EQ(launcher_calls().size(), 2u);
  write_file(browser_file(), "id,value\n1,43\n");
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{failed("request_conflict", false)});
}

TEST_F(DownloadEndToEnd, FinalizedRequestsAreNotLaunchedAgain) {
  environment_["VARQUIN_FAKE_OPEN_FINALIZE"] = "1";
  answers({stage()});
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{ok("already_finalized", "true")});
  EXPECT_EQ(launcher_calls().size(), 1u);
}

TEST_F(DownloadEndToEnd, FailedLaunchRollsBackOnlyANewStage) {
  environment_["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{failed("app_launch_failed", true)});
  EXPECT_FALSE(path_exists(stage_dir()));

  environment_.erase("VARQUIN_FAKE_OPEN_EXIT");
  answers({stage()});
  environment_["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  EXPECT_EQ(answers({stage()}), std::vector<std::string>{failed("app_launch_failed", true)});
  EXPECT_TRUE(path_exists(stage_dir() + "/request.json"));
}

TEST_F(DownloadEndToEnd, AFailedRollbackIsReportedOnStandardErrorOnly) {
  environment_["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  environment_["VARQUIN_FAKE_OPEN_CONSUME"] = "1";
  BridgeResult result = run({stage(), request::ping(kRequestId)});
  EXPECT_EQ(unframe(result.output),
            (std::vector<std::string>{failed("app_launch_failed", true), ok("pong")}));
  EXPECT_TRUE(result.error.starts_with(std::string("Varquin browser bridge rollback failed for ") +
                                       kRequestId +
                                       ": Unable to roll back failed browser import launch: "))
      << result.error;
  EXPECT_TRUE(result.error.ends_with(")\n")) << result.error;
}

TEST_F(DownloadEndToEnd, RefusesPathsOutsideTheManagedDirectory) {
  make_directories(request_dir() + "/deeper");
  write_file(request_dir() + "/deeper/report.csv", "x");
  const std::string refused[] = {
      "Downloads/Varquin Inbox/" + std::string(kRequestId) + "/report.csv",
      request_dir() + "/deeper/report.csv",
      request_dir() + "/missing.csv",
  };
  for (const std::string& path : refused) {
    EXPECT_EQ(answers({request::stage_download(kRequestId, path, "report.csv")}),
              std::vector<std::string>{failed("invalid_file", false)})
        << path;
  }
  EXPECT_FALSE(path_exists(imports_root() + "/" + kRequestId));
  EXPECT_TRUE(launcher_calls().empty());
}

TEST_F(DownloadEndToEnd, ADownloadLeavesAnOpenUploadUntouched) {
  const std::string upload_id = "9b2f2f1e-0000-4000-8000-000000000001";
  auto replies =
      answers({request::begin(upload_id, "up.csv", 2), request::chunk(upload_id, 0, base64("a")),
               stage(), request::chunk(upload_id, 1, base64("b")), request::commit(upload_id)});
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[2], ok("staged_and_launched", "false"));
  EXPECT_EQ(replies[4],
            R"({"ok":true,"requestId":")" + upload_id + R"(","status":"staged","reused":false})");
}

TEST_F(DownloadEndToEnd, CleanupRemovesOnlyAnEmptiedDirectoryAndAnEmptiedInbox) {
  const std::string sibling = request_dir("9b2f2f1e-0000-4000-8000-000000000001");
  make_directories(sibling);
  EXPECT_EQ(answers({request::cleanup(kRequestId, request_dir())}),
            std::vector<std::string>{failed("cleanup_failed", true)});
  EXPECT_TRUE(path_exists(browser_file()));

  ASSERT_EQ(::unlink(browser_file().c_str()), 0);
  EXPECT_EQ(answers({request::cleanup(kRequestId, request_dir() + "/")}),
            std::vector<std::string>{ok("download_container_cleaned")});
  EXPECT_FALSE(path_exists(request_dir()));
  EXPECT_TRUE(path_exists(sibling));

  ASSERT_EQ(::rmdir(sibling.c_str()), 0);
  make_directories(request_dir());
  EXPECT_EQ(answers({request::cleanup(kRequestId, request_dir()),
                     request::cleanup(kRequestId, request_dir())}),
            (std::vector<std::string>{ok("download_container_cleaned"),
                                      ok("download_container_cleaned")}));
  EXPECT_FALSE(path_exists(inbox()));
  EXPECT_TRUE(path_exists(home_ / "Downloads"));
}

class HeartbeatEndToEnd : public BridgeFixture {};

TEST_F(HeartbeatEndToEnd, EveryAcceptedStartRecordsTheConfiguredExtension) {
  answers({});
  const std::string file = user_data() + "/browser-extension-heartbeat.json";
  const std::string content = read_file(file);
  EXPECT_TRUE(std::regex_match(
      content, std::regex(R"(\{"schema":"varquin\.browser-extension-heartbeat\.v2",)"
                          R"("extensionId":"abcdefghijklmnopabcdefghijklmnop",)"
                          R"("lastSeenAt":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\})")))
      << content;
  EXPECT_EQ(list_names(user_data()), std::vector<std::string>{"browser-extension-heartbeat.json"});

  // A start refused at the gate leaves no heartbeat.
  ASSERT_EQ(::unlink(file.c_str()), 0);
  arguments_ = {"chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"};
  run({});
  EXPECT_FALSE(path_exists(file));
}

TEST_F(HeartbeatEndToEnd, AnUnwritableHeartbeatChangesNoAnswer) {
  // The user-data directory cannot be created below a regular file.
  write_file(home_ / "blocker", "");
  std::string config = read_file(config_path_);
  config.replace(config.find(user_data()), user_data().size(), home_ / "blocker/userdata");
  write_file(config_path_, config);
  BridgeResult result = run({request::ping(kRequestId)});
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(unframe(result.output),
            std::vector<std::string>{std::string(R"({"ok":true,"requestId":")") + kRequestId +
                                     R"(","status":"pong"})"});
}

}  // namespace
}  // namespace varquin::testing
