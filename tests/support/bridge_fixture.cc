#include "support/bridge_fixture.h"

#include <fstream>
#include <sstream>

#include "util/base64.h"

namespace varquin::testing {

BridgeFixture::BridgeFixture() {
  config_path_ = home_ / "config.json";
  write_config_file(config_path_, user_data());
  environment_ = {{"HOME", home_.path()},
                  {"VARQUIN_BROWSER_BRIDGE_CONFIG", config_path_},
                  {"VARQUIN_FAKE_OPEN_LOG", home_ / "launcher.log"},
                  {"PATH", "/usr/bin:/bin"}};
}

BridgeResult BridgeFixture::run_raw(const std::string& input) {
  BridgeRun bridge_run;
  bridge_run.arguments = arguments_;
  bridge_run.environment = environment_;
  bridge_run.input = input;
  return run_bridge(bridge_run);
}

BridgeResult BridgeFixture::run(const std::vector<std::string>& requests) {
  std::string input;
  for (const auto& r : requests) input += frame(r);
  return run_raw(input);
}

std::vector<std::string> BridgeFixture::answers(const std::vector<std::string>& requests) {
  BridgeResult result = run(requests);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.error, "");
  return unframe(result.output);
}

std::vector<std::string> BridgeFixture::launcher_calls() const {
  std::vector<std::string> lines;
  std::ifstream in(home_ / "launcher.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool BridgeFixture::launcher_is_stand_in() {
  return std::string(VARQUIN_CONFIGURED_LAUNCHER) == VARQUIN_FAKE_OPEN_EXE;
}

}  // namespace varquin::testing
