// The main job, scripts/demo.sh, run against the programs of this build.
#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/test_support.h"
#include "util/path.h"

namespace varquin::testing {
namespace {

TEST(Demo, RunsBothRoadsAgainstThisBuildAndRemovesItsTemporaryHome) {
  if (std::string(VARQUIN_CONFIGURED_LAUNCHER) != VARQUIN_FAKE_OPEN_EXE) {
    GTEST_SKIP() << "built without the stand-in launcher";
  }
  TempDir temporary;
  BridgeRun run;
  run.executable = "/bin/bash";
  run.arguments = {VARQUIN_SOURCE_DIR "/scripts/demo.sh", "--build-dir",
                   util::parent_path(VARQUIN_BRIDGE_EXE).value_or(".")};
  run.environment = {{"PATH", "/usr/bin:/bin"}, {"TMPDIR", temporary.path()}};
  BridgeResult result = run_bridge(run, 600);
  ASSERT_EQ(result.exit_status, 0) << result.output << result.error;

  EXPECT_NE(result.output.find("Every check passed."), std::string::npos) << result.output;
  for (const char* status : {"pong", "staged", "staged_and_launched", "already_finalized",
                             "download_container_cleaned"}) {
    EXPECT_NE(result.output.find("\"status\":\"" + std::string(status) + "\""), std::string::npos)
        << status;
  }
  EXPECT_EQ(list_names(temporary.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace varquin::testing
