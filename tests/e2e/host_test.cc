// The executable as the browser sees it: start-up gate, framing, the loop's stopping rules.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/bridge_fixture.h"

namespace varquin::testing {
namespace {

class HostEndToEnd : public BridgeFixture {};

const std::string kBadFrameAnswer = R"({"ok":false,"code":"invalid_request","retryable":false})";

TEST_F(HostEndToEnd, PingIsAnsweredWithExactBytesUntilInputCloses) {
  BridgeResult result = run({request::ping(kRequestId), request::ping("any text")});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.error, "");
  const std::string pong =
      std::string(R"({"ok":true,"requestId":")") + kRequestId + R"(","status":"pong"})";
  EXPECT_EQ(result.output, std::string("\x4E\x00\x00\x00", 4) + pong +
                               frame(R"({"ok":true,"requestId":"any text","status":"pong"})"));
}

TEST_F(HostEndToEnd, ClosingInputAtOnceIsAQuietEnd) {
  BridgeResult result = run({});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.error, "");
}

TEST_F(HostEndToEnd, BadMessagesAreAnsweredOnceWithoutRequestIdAndEndTheLoop) {
  const std::string ping = frame(request::ping(kRequestId));
  const std::string inputs[] = {
      std::string("\x00\x00\x00\x00", 4) + ping,
      std::string("\x01\x00\x10\x00", 4) + ping,
      std::string("\x05", 1),
      frame("{\"action\":\"ping\"}") + ping,
      frame(R"({"action":"ping","schema":"varquin.browser-import.v2","requestId":"r"})") + ping,
      frame(request::ping(kRequestId) + "x") + ping,
  };
  for (const std::string& input : inputs) {
    BridgeResult result = run_raw(input);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(unframe(result.output), std::vector<std::string>{kBadFrameAnswer});
    EXPECT_EQ(result.error, "");
  }
}

TEST_F(HostEndToEnd, HandlerFailuresAreAnsweredWithTheRequestIdAndServingGoesOn) {
  auto replies = answers({request::chunk(kRequestId, 0, ""), request::commit("not-a-uuid"),
                          request::ping(kRequestId)});
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], std::string(R"({"ok":false,"requestId":")") + kRequestId +
                            R"(","code":"invalid_request","retryable":false})");
  EXPECT_EQ(replies[1],
            R"({"ok":false,"requestId":"not-a-uuid","code":"invalid_request","retryable":false})");
  EXPECT_NE(replies[2].find("pong"), std::string::npos);
}

TEST_F(HostEndToEnd, StartUpFailuresAnswerOnceAndNeverReadInput) {
  struct Case {
    std::map<std::string, std::string> environment_changes;
    std::vector<std::string> arguments;
    std::string answer;
  };
  const std::string other_origin = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";
  const Case cases[] = {
      {{{"VARQUIN_BROWSER_BRIDGE_CONFIG", home_ / "absent.json"}},
       {kOrigin},
       R"({"ok":false,"code":"config_missing","retryable":true})"},
      {{{"VARQUIN_BROWSER_BRIDGE_CONFIG", home_.path()}},
       {kOrigin},
       R"({"ok":false,"code":"config_missing","retryable":true})"},
      {{{"VARQUIN_BROWSER_BRIDGE_CONFIG", ""}},
       {kOrigin},
       R"({"ok":false,"code":"config_missing","retryable":true})"},
      {{{"VARQUIN_BROWSER_BRIDGE_CONFIG", home_ / "broken.json"}},
       {kOrigin},
       R"({"ok":false,"code":"config_invalid","retryable":false})"},
      {{}, {other_origin}, R"({"ok":false,"code":"forbidden_origin","retryable":false})"},
      {{}, {"--parent-window=0"}, R"({"ok":false,"code":"forbidden_origin","retryable":false})"},
  };
  write_file(home_ / "broken.json", "{}");
  for (const Case& c : cases) {
    BridgeRun bridge_run;
    bridge_run.environment = environment_;
    for (const auto& [k, v] : c.environment_changes) bridge_run.environment[k] = v;
    bridge_run.arguments = c.arguments;
    bridge_run.input = frame(request::ping(kRequestId));
    bridge_run.close_input = false;  // a bridge that read stdin would wait here forever
    BridgeResult result = run_bridge(bridge_run, 20);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(unframe(result.output), std::vector<std::string>{c.answer});
    EXPECT_EQ(result.error, "");
  }
  // The default location under HOME is used when no override is set.
  environment_.erase("VARQUIN_BROWSER_BRIDGE_CONFIG");
  BridgeResult defaulted = run({request::ping(kRequestId)});
  EXPECT_EQ(unframe(defaulted.output),
            std::vector<std::string>{R"({"ok":false,"code":"config_missing","retryable":true})"});
  make_directories(home_ / "Library/Application Support/Varquin/browser-bridge");
  write_file(home_ / "Library/Application Support/Varquin/browser-bridge/config.json",
             read_file(config_path_));
  BridgeResult found = run({request::ping(kRequestId)});
  ASSERT_EQ(unframe(found.output).size(), 1u);
  EXPECT_NE(unframe(found.output)[0].find("pong"), std::string::npos);
}

TEST_F(HostEndToEnd, UnwritableResponseIsReportedOnStandardError) {
  BridgeRun bridge_run;
  bridge_run.arguments = arguments_;
  bridge_run.environment = environment_;
  bridge_run.input = frame(request::ping(kRequestId)) + frame(request::ping(kRequestId));
  bridge_run.close_output = true;
  BridgeResult result = run_bridge(bridge_run);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(result.error.starts_with(
      "Varquin browser bridge could not write its response: Unable to write native response "))
      << result.error;
  EXPECT_EQ(std::count(result.error.begin(), result.error.end(), '\n'), 1);
}

TEST_F(HostEndToEnd, RequestsSentWithoutWaitingAreAnsweredInOrder) {
  std::vector<std::string> requests;
  for (int i = 0; i < 50; ++i) requests.push_back(request::ping("r" + std::to_string(i)));
  auto replies = answers(requests);
  ASSERT_EQ(replies.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_NE(replies[i].find("\"r" + std::to_string(i) + "\""), std::string::npos);
  }
}

}  // namespace
}  // namespace varquin::testing
