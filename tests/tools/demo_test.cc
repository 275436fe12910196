// The main job, scripts/demo.sh, run against the programs of this build.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/test_support.h"
#include "util/path.h"

namespace varquin::testing {
namespace {

TEST(Demo, RunsBothRoadsBelowALinkedTmpdirAndRemovesItsTemporaryHome) {
  if (std::string(VARQUIN_CONFIGURED_LAUNCHER) != VARQUIN_FAKE_OPEN_EXE) {
    GTEST_SKIP() << "built without the stand-in launcher";
  }
  // $TMPDIR below a symbolic link, as macOS has it (/var/folders/... below /var -> /private/var).
  TempDir temporary;
  const std::string real = temporary / "real";
  make_directories(real);
  ASSERT_EQ(::symlink(real.c_str(), (temporary / "linked").c_str()), 0);
  BridgeRun run;
  run.executable = "/bin/bash";
  run.arguments = {VARQUIN_SOURCE_DIR "/scripts/demo.sh", "--build-dir",
                   util::parent_path(VARQUIN_BRIDGE_EXE).value_or(".")};
  run.environment = {{"PATH", "/usr/bin:/bin"}, {"TMPDIR", temporary / "linked"}};
  BridgeResult result = run_bridge(run, 600);
  ASSERT_EQ(result.exit_status, 0) << result.output << result.error;

  EXPECT_NE(result.output.find("Every check passed."), std::string::npos) << result.output;
  for (const char* status : {"pong", "staged", "staged_and_launched", "already_finalized",
                             "download_container_cleaned"}) {
    EXPECT_NE(result.output.find("\"status\":\"" + std::string(status) + "\""), std::string::npos)
        << status;
  }
  EXPECT_EQ(list_names(real), std::vector<std::string>{});
}

}  // namespace
}  // namespace varquin::testing
