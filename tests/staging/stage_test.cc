#include "staging/attachment_name.h"
#include "staging/stage_bytes.h"
#include "staging/transaction.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "staging/store_fixture.h"
#include "util/sha256.h"

namespace varquin::staging {
namespace {

using test::kId;
using test::numbered_id;
using testing::expect_failure;

constexpr const char* kDifferentData =
    "The browser import request ID already contains different or incomplete data";
constexpr const char* kCapacity = "Varquin's pending browser import capacity has been reached";

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

class StageBytes : public test::StoreTest {
 protected:
  const std::vector<std::uint8_t> content = bytes_of("a,b\n1,2\n");

  Result<StageOutcome> stage(const std::string& id, const std::vector<std::uint8_t>& bytes,
                             std::string_view name = "report.csv") {
    return stage_bytes(config, id, name, bytes);
  }
};

TEST_F(StageBytes, PublishesAStageUnderTheComposedName) {
  const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  auto outcome = stage(id, content, "re\u0301sume\u0301.csv");
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->kind, StageKind::Staged);
  EXPECT_TRUE(outcome->created);
  EXPECT_EQ(outcome->request_id, id);
  EXPECT_EQ(outcome->manifest_path, store.manifest_path(id));

  const std::string staged = store.stage_directory(id) + "/r\u00e9sum\u00e9.csv";
  EXPECT_EQ(stages(), std::vector<std::string>{id});
  EXPECT_EQ(testing::list_names(store.stage_directory(id)),
            (std::vector<std::string>{"request.json", "r\u00e9sum\u00e9.csv"}));
  EXPECT_EQ(testing::read_file(staged), "a,b\n1,2\n");

  auto manifest = read_json<ImportManifest>(store.manifest_path(id));
  ASSERT_TRUE(manifest) << manifest.error().message;
  EXPECT_EQ(manifest->original_source_path, staged);
  EXPECT_EQ(manifest->file_path, staged);
  EXPECT_EQ(manifest->original_name, "r\u00e9sum\u00e9.csv");
  EXPECT_EQ(manifest->size_bytes, content.size());
  EXPECT_EQ(manifest->sha256, util::sha256_hex(content));
  EXPECT_TRUE(manifest->temporary);
  EXPECT_TRUE(manifest->created_at.ends_with("+00:00")) << manifest->created_at;
  auto created = util::parse_rfc3339(manifest->created_at);
  ASSERT_TRUE(created);
  EXPECT_LT(std::llabs(created->seconds - platform::utc_now().seconds), 600);
}

TEST_F(StageBytes, RepeatsAreReusedOrRefused) {
  ASSERT_TRUE(stage(kId, content));
  const std::string manifest_before = testing::read_file(store.manifest_path(kId));
  auto again = stage(kId, content);
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_EQ(again->kind, StageKind::Reused);
  EXPECT_FALSE(again->created);
  EXPECT_EQ(again->manifest_path, store.manifest_path(kId));
  EXPECT_EQ(testing::read_file(store.manifest_path(kId)), manifest_before);

  expect_failure(stage(kId, bytes_of("other")), kDifferentData, ErrorCode::RequestConflict);
  expect_failure(stage(kId, content, "other.csv"), kDifferentData, ErrorCode::RequestConflict);
  // An incomplete stage is refused, never rebuilt.
  ASSERT_EQ(std::remove((store.stage_directory(kId) + "/report.csv").c_str()), 0);
  expect_failure(stage(kId, content), kDifferentData, ErrorCode::RequestConflict);
  EXPECT_EQ(testing::list_names(store.stage_directory(kId)),
            std::vector<std::string>{"request.json"});
}

TEST_F(StageBytes, FinalizedRequestsAreAnsweredFromTheTerminalRecord) {
  ImportManifest same = manifest_for(kId, content.size(), test::kNow);
  same.sha256 = util::sha256_hex(content);
  plant_terminal(terminal_for(same, test::kNow));
  auto outcome = stage(kId, content);
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->kind, StageKind::AlreadyFinalized);
  EXPECT_FALSE(outcome->created);
  EXPECT_EQ(outcome->manifest_path, std::nullopt);
  EXPECT_EQ(stages(), std::vector<std::string>{});

  expect_failure(stage(kId, bytes_of("changed")),
                 "The browser import request ID was already finalized with different data",
                 ErrorCode::RequestConflict);
}

TEST_F(StageBytes, CapacityIsCheckedOnlyForNewStages) {
  for (unsigned n = 0; n < 20; ++n) ASSERT_TRUE(stage(numbered_id(n), content)) << n;
  expect_failure(stage(kId, content), kCapacity, ErrorCode::CapacityExceeded);
  auto repeat = stage(numbered_id(7), content);
  ASSERT_TRUE(repeat);
  EXPECT_EQ(repeat->kind, StageKind::Reused);
  EXPECT_EQ(stages().size(), 20u);
}

TEST_F(StageBytes, CapacityCountsBytesAndTerminalRecords) {
  // No stage may claim more than 64 MiB: eight make up the 512.
  for (unsigned n = 0; n < 8; ++n) {
    plant_stage(manifest_for(numbered_id(n + 100), (64u << 20) - (n == 7 ? content.size() - 1 : 0),
                             test::kNow));
  }
  expect_failure(stage(kId, content), kCapacity, ErrorCode::CapacityExceeded);
  ASSERT_TRUE(stage(kId, bytes_of("a,b\n1,2")));  // exactly 512 MiB in all

  testing::make_directories(store.terminals_root());
  for (unsigned n = 0; n < 257; ++n) {
    testing::write_file(store.terminals_root() + "/record-" + std::to_string(n), "");
  }
  expect_failure(stage(numbered_id(2), {}), kCapacity, ErrorCode::CapacityExceeded);
}

TEST_F(StageBytes, SizeLimit) {
  std::vector<std::uint8_t> limit(67'108'864, 'x');
  ASSERT_TRUE(stage(kId, limit));
  limit.push_back('x');
  expect_failure(stage(numbered_id(1), limit), "The attachment exceeds Varquin's 64 MiB limit",
                 ErrorCode::FileTooLarge);
  EXPECT_EQ(stages(), std::vector<std::string>{kId});
}

TEST(StagingNames, NormalizeOriginalName) {
  const char* kInvalid = "The attachment filename is invalid";
  const char* kUnsupported = "The attachment type is not supported";
  const std::pair<std::string, const char*> accepted[] = {{"report.CSV", "report.CSV"},
                                                          {"Data.Dta", "Data.Dta"},
                                                          {"..xlsx", "..xlsx"},
                                                          {"e\u0301.csv", "\u00e9.csv"},
                                                          {"nbsp\u00A0.csv", "nbsp\u00A0.csv"}};
  const std::pair<std::string, const char*> refused[] = {
      {std::string(252, 'a') + ".csv", kInvalid},
      {"", kInvalid},
      {"..", kInvalid},
      {"a/b.csv", kInvalid},
      {"a\\b.csv", kInvalid},
      {"tab\t.csv", kInvalid},
      {"del\x7F.csv", kInvalid},
      {"c1\u009F.csv", kInvalid},
      {"report.csv ", kUnsupported},
      {".csv", kUnsupported},
      {"report", kUnsupported},
      {"report.xls", kUnsupported},
  };
  for (const auto& [name, normalized] : accepted) {
    EXPECT_EQ(normalize_original_name(name).value_or("refused"), normalized);
  }
  EXPECT_TRUE(normalize_original_name(std::string(251, 'a') + ".csv"));
  for (const auto& [name, refusal] : refused) {
    SCOPED_TRACE(name);
    expect_failure(normalize_original_name(name), refusal, ErrorCode::InvalidFile);
  }
}

TEST_F(StageBytes, RollbackRemovesOnlyWhatThisRequestCreated) {
  auto outcome = stage(kId, content);
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(
      rollback_new_stage(config, {kId, outcome->manifest_path, false, StageKind::Reused, {}, {}}));
  ASSERT_TRUE(
      rollback_new_stage(config, {kId, std::nullopt, false, StageKind::AlreadyFinalized, {}, {}}));
  expect_failure(rollback_new_stage(config, {kId, std::nullopt, true, StageKind::Staged, {}, {}}),
                 "A new stage has no manifest path", ErrorCode::StagingFailed);
  for (const std::string& wrong :
       {store.stage_directory(kId) + "/report.csv", store.manifest_path(numbered_id(1))}) {
    expect_failure(rollback_new_stage(config, {kId, wrong, true, StageKind::Staged, {}, {}}),
                   "Refusing to roll back an unexpected request path", ErrorCode::StagingFailed);
  }
  EXPECT_EQ(stages(), std::vector<std::string>{kId});

  outcome->manifest_path = store.stage_directory(kId) + "//request.json";
  ASSERT_TRUE(rollback_new_stage(config, *outcome));
  EXPECT_EQ(stages(), std::vector<std::string>{});
  expect_failure(rollback_new_stage(config, *outcome),
                 "Unable to roll back failed browser import launch: ", ErrorCode::StagingFailed);
}

}  // namespace
}  // namespace varquin::staging
