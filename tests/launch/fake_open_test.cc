// The stand-in launcher that the end-to-end tests and the demo run instead of /usr/bin/open.
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "staging/records.h"
#include "support/test_support.h"
#include "util/rfc3339.h"

namespace varquin {
namespace {

using testing::TempDir;

const std::string kFakeOpen = VARQUIN_FAKE_OPEN_EXE;
constexpr const char* kRequestId = "0F8FAD5B-D9CB-469F-A165-70867728950E";

platform::ExitStatus run_fake_open(const std::vector<std::string>& arguments) {
  auto status = platform::run_detached_from_stdio(kFakeOpen, arguments);
  EXPECT_TRUE(status) << status.error().text();
  return status.value_or(platform::ExitStatus{false, -1, -1});
}

TEST(FakeOpen, RefusesAnythingButTheLauncherArguments) {
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"-n", "/Apps/Varquin.app", "--args"},
      {"/Apps/Varquin.app", "--args", "--varquin-browser-import=/m"},
      {"-a", "/Apps/Varquin.app", "--args", "--varquin-browser-import=/m"},
      {"-n", "/Apps/Varquin.app", "--arg", "--varquin-browser-import=/m"},
      {"-n", "/Apps/Varquin.app", "--args", "--varquin-import=/m"},
      {"-n", "/Apps/Varquin.app", "--args", "--varquin-browser-import=/m", "extra"},
  };
  for (const auto& arguments : refused) {
    auto status = run_fake_open(arguments);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.exit_code, 2) << ::testing::PrintToString(arguments);
  }
}

// Plays the desktop app: the terminal record of the manifest's request appears beside the
// imports root, with the manifest's fields and a fresh finalizedAt.
TEST(FakeOpen, FinalizeLeavesTheTerminalRecord) {
  TempDir dir;
  const std::string user_data = dir / "user data";
  const std::string stage = user_data + "/browser-imports/" + kRequestId;
  testing::make_directories(stage);
  const std::string manifest = stage + "/request.json";
  testing::write_file(manifest, std::string(R"({
  "schema": "varquin.browser-import.v1",
  "requestId": ")") + kRequestId + R"(",
  "source": "gmail",
  "originalSourcePath": "/Users/a/Varquin Inbox/x/data set.csv",
  "filePath": ")" + stage + R"(/data set.csv",
  "originalName": "data set.csv",
  "sizeBytes": 12345,
  "sha256": "5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef",
  "createdAt": "2026-01-31T08:15:02.047+00:00",
  "temporary": true
}
)");

  ::setenv("VARQUIN_FAKE_OPEN_FINALIZE", "1", 1);
  auto status =
      run_fake_open({"-n", "/Apps/Varquin.app", "--args", "--varquin-browser-import=" + manifest});
  ::unsetenv("VARQUIN_FAKE_OPEN_FINALIZE");
  ASSERT_TRUE(status.exited);
  ASSERT_EQ(status.exit_code, 0);

  const std::string terminals = user_data + "/browser-import-terminals";
  EXPECT_EQ(testing::list_names(terminals),
            std::vector<std::string>{std::string(kRequestId) + ".json"});
  auto record = staging::read_json<staging::TerminalRecord>(terminals + "/" + kRequestId + ".json");
  ASSERT_TRUE(record) << record.error().message;
  EXPECT_EQ(record->schema, "varquin.browser-import.v1");
  EXPECT_EQ(record->request_id, kRequestId);
  EXPECT_EQ(record->source, "gmail");
  EXPECT_EQ(record->original_source_path, "/Users/a/Varquin Inbox/x/data set.csv");
  EXPECT_EQ(record->original_name, "data set.csv");
  EXPECT_EQ(record->size_bytes, 12345u);
  EXPECT_EQ(record->sha256, "5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef");
  EXPECT_TRUE(util::parse_rfc3339(record->finalized_at)) << record->finalized_at;
}

TEST(FakeOpen, FinalizeFailsOnAMissingManifest) {
  TempDir dir;
  ::setenv("VARQUIN_FAKE_OPEN_FINALIZE", "1", 1);
  auto status =
      run_fake_open({"-n", "/Apps/Varquin.app", "--args",
                     "--varquin-browser-import=" + dir / "u/browser-imports/x/request.json"});
  ::unsetenv("VARQUIN_FAKE_OPEN_FINALIZE");
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.exit_code, 3);
  EXPECT_FALSE(testing::path_exists(dir / "u/browser-import-terminals"));
}

}  // namespace
}  // namespace varquin
