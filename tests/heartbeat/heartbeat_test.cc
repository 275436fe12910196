#include "heartbeat/heartbeat.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/rfc3339.h"

namespace varquin {
namespace {

using testing::TempDir;

constexpr std::int64_t k2026_01_31T08_15_02 = 1769847302;

// The configured extension ID, not the one of the caller origin, is recorded.
constexpr const char* kConfiguredId = "ponmlkjihgfedcbaponmlkjihgfedcba";

BridgeConfig config_in(const std::string& user_data) {
  BridgeConfig config = testing::config_for(user_data);
  config.extension_id = kConfiguredId;
  return config;
}

std::string expected_heartbeat(const std::string& last_seen_at) {
  return std::string(R"({"schema":"varquin.browser-extension-heartbeat.v2","extensionId":")") +
         kConfiguredId + R"(","lastSeenAt":")" + last_seen_at + "\"}";
}

TEST(Heartbeat, WritesCompactJsonWithMillisecondsAndZ) {
  struct Case {
    std::uint32_t nanoseconds;
    const char* last_seen_at;
  };
  const std::vector<Case> cases = {
      {47'000'000, "2026-01-31T08:15:02.047Z"},
      {0, "2026-01-31T08:15:02.000Z"},            // the fraction is never left out
      {999'999'999, "2026-01-31T08:15:02.999Z"},  // truncated, not rounded
      {1'000'000, "2026-01-31T08:15:02.001Z"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    BridgeConfig config = config_in(dir.path());
    ASSERT_TRUE(record_heartbeat_at(config, {k2026_01_31T08_15_02, c.nanoseconds}));
    EXPECT_EQ(testing::read_file(dir / "browser-extension-heartbeat.json"),
              expected_heartbeat(c.last_seen_at));
  }
}

std::int64_t nanoseconds_since_epoch(platform::WallTime time) {
  return time.seconds * 1'000'000'000 + time.nanoseconds;
}

TEST(Heartbeat, RecordHeartbeatTakesTheSystemClock) {
  TempDir dir;
  auto before = nanoseconds_since_epoch(platform::utc_now());
  ASSERT_TRUE(record_heartbeat(config_in(dir.path())));
  auto after = nanoseconds_since_epoch(platform::utc_now());
  std::string content = testing::read_file(dir / "browser-extension-heartbeat.json");
  const std::string key = R"("lastSeenAt":")";
  auto at = content.find(key);
  ASSERT_NE(at, std::string::npos) << content;
  auto seen = util::parse_rfc3339(content.substr(at + key.size(), 24));
  ASSERT_TRUE(seen) << content;
  // The file holds milliseconds, truncated.
  EXPECT_GE(nanoseconds_since_epoch(*seen), before - before % 1'000'000) << content;
  EXPECT_LE(nanoseconds_since_epoch(*seen), after) << content;
}

TEST(Heartbeat, CreatesMissingDirectories) {
  TempDir dir;
  const std::string user_data = dir / "Library/Application Support/Varquin";
  ASSERT_TRUE(record_heartbeat_at(config_in(user_data), {k2026_01_31T08_15_02, 0}));
  EXPECT_EQ(testing::list_names(user_data),
            std::vector<std::string>{"browser-extension-heartbeat.json"});
}

TEST(Heartbeat, ReportsADirectoryThatCannotBeCreated) {
  TempDir dir;
  testing::write_file(dir / "Library", "a file where a directory belongs");
  auto recorded = record_heartbeat_at(config_in(dir / "Library/Varquin"), {0, 0});
  ASSERT_FALSE(recorded);
  EXPECT_TRUE(recorded.error().message.starts_with("Unable to create heartbeat directory: "))
      << recorded.error().message;
  EXPECT_TRUE(recorded.error().message.ends_with(")")) << recorded.error().message;
  EXPECT_EQ(recorded.error().code, ErrorCode::HeartbeatFailed);
  EXPECT_TRUE(recorded.error().retryable());
}

TEST(Heartbeat, ReplacesThePreviousRecordAndLeavesNoTemporaryFile) {
  TempDir dir;
  BridgeConfig config = config_in(dir.path());
  ASSERT_TRUE(record_heartbeat_at(config, {k2026_01_31T08_15_02, 0}));
  ASSERT_TRUE(record_heartbeat_at(config, {k2026_01_31T08_15_02 + 60, 5'000'000}));
  EXPECT_EQ(testing::list_names(dir.path()),
            std::vector<std::string>{"browser-extension-heartbeat.json"});
  EXPECT_EQ(testing::read_file(dir / "browser-extension-heartbeat.json"),
            expected_heartbeat("2026-01-31T08:16:02.005Z"));
}

// A directory in the heartbeat's place cannot be replaced by a file: the publish step fails and
// the temporary file is removed again.
TEST(Heartbeat, RemovesTheTemporaryFileWhenPublishingFails) {
  TempDir dir;
  testing::make_directories(dir / "browser-extension-heartbeat.json/occupied");
  auto recorded = record_heartbeat_at(config_in(dir.path()), {0, 0});
  ASSERT_FALSE(recorded);
  EXPECT_TRUE(recorded.error().message.starts_with("Unable to publish heartbeat: "))
      << recorded.error().message;
  EXPECT_EQ(recorded.error().code, ErrorCode::HeartbeatFailed);
  EXPECT_TRUE(recorded.error().retryable());
  EXPECT_EQ(testing::list_names(dir.path()),
            std::vector<std::string>{"browser-extension-heartbeat.json"});
}

}  // namespace
}  // namespace varquin
