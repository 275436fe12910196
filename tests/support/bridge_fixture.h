// A temporary home for end-to-end runs: user-data directory, configuration file, the stand-in
// launcher's log, and builders for request documents.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/bridge_process.h"
#include "support/requests.h"
#include "support/test_support.h"

namespace varquin::testing {

class BridgeFixture : public ::testing::Test {
 protected:
  BridgeFixture();

  // Runs the bridge with the given request documents framed on stdin.
  BridgeResult run(const std::vector<std::string>& requests);
  BridgeResult run_raw(const std::string& input);
  // The payloads of the responses.
  std::vector<std::string> answers(const std::vector<std::string>& requests);

  // Lines the stand-in launcher logged, one per call (its arguments as a JSON array).
  std::vector<std::string> launcher_calls() const;
  // Skips the test unless the bridge was built with the stand-in launcher.
  static bool launcher_is_stand_in();

  std::string user_data() const { return home_ / "userdata"; }
  std::string imports_root() const { return user_data() + "/browser-imports"; }
  std::string terminals_root() const { return user_data() + "/browser-import-terminals"; }

  TempDir home_;
  std::string config_path_;
  std::map<std::string, std::string> environment_;
  std::vector<std::string> arguments_{kOrigin};
};

inline constexpr const char* kRequestId = "0f8fad5b-d9cb-469f-a165-70867728950e";

}  // namespace varquin::testing
