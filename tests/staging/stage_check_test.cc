// A stage is reused, and launched, only when its staged file is the one its manifest describes: a
// stage spoiled after it was published is never answered "reused" nor handed to the app, on any
// retry. The stage itself is left as it is.
#include "staging/stage_check.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "staging/stage_bytes.h"
#include "staging/stage_download.h"
#include "staging/store_fixture.h"

namespace varquin::staging {
namespace {

using test::kId;
using testing::expect_failure;

constexpr const char* kDifferentData =
    "The browser import request ID already contains different or incomplete data";

class SpoiledStage : public test::StoreTest {
 public:
  using StoreTest::store;
  const std::string content = "a,b\n1,2\n";
  const std::string request_dir = dir / ("Downloads/Varquin Inbox/" + std::string(kId));
  const std::string staged() const { return store.stage_directory(kId) + "/report.csv"; }
  const std::string outside = dir / "outside.csv";

  Result<StageOutcome> upload() {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    return stage_bytes(config, kId, "report.csv", bytes);
  }
  Result<StageOutcome> download() {
    return stage_download(config, kId, request_dir + "/report.csv", "report.csv");
  }
  void replace_staged(const std::function<int(const char*)>& make) {
    ASSERT_EQ(std::remove(staged().c_str()), 0);
    testing::write_file(outside, content);
    ASSERT_EQ(make(staged().c_str()), 0);
  }
};

struct Spoil {
  const char* what;
  bool download_road;
  std::function<void(SpoiledStage&)> spoil;
  ErrorCode launch_code;  // what a launch of the spoiled stage answers
};

const Spoil kSpoils[] = {
    {"the staged file cut short", false,
     [](SpoiledStage& t) { ASSERT_EQ(::truncate(t.staged().c_str(), 3), 0); },
     ErrorCode::RequestConflict},
    {"the staged file rewritten at the same size", false,
     [](SpoiledStage& t) { testing::write_file(t.staged(), "x,y\n3,4\n"); },
     ErrorCode::RequestConflict},
    {"the staged file removed", false,
     [](SpoiledStage& t) { ASSERT_EQ(std::remove(t.staged().c_str()), 0); },
     ErrorCode::RequestConflict},
    {"the staged file replaced by a link to a copy outside", false,
     [](SpoiledStage& t) {
       t.replace_staged([&](const char* at) { return ::symlink(t.outside.c_str(), at); });
     },
     ErrorCode::RequestConflict},
    {"the staged file replaced by a second name of a copy outside", false,
     [](SpoiledStage& t) {
       t.replace_staged([&](const char* at) { return ::link(t.outside.c_str(), at); });
     },
     ErrorCode::RequestConflict},
    {"a download's manifest naming a copy outside the store", true,
     [](SpoiledStage& t) {
       testing::write_file(t.outside, t.content);
       auto manifest = read_json<ImportManifest>(t.store.manifest_path(kId)).value();
       manifest.file_path = t.outside;
       testing::write_file(t.store.manifest_path(kId), serialize_manifest(manifest).value());
     },
     ErrorCode::RequestMissing},
};

void PrintTo(const Spoil& s, std::ostream* out) {
  *out << s.what;
}

class SpoiledStages : public SpoiledStage, public ::testing::WithParamInterface<Spoil> {};

TEST_P(SpoiledStages, AreNeverReusedNorLaunched) {
  const Spoil& s = GetParam();
  testing::make_directories(request_dir);
  testing::write_file(request_dir + "/report.csv", content);
  auto first = s.download_road ? download() : upload();
  ASSERT_TRUE(first) << first.error().message;
  s.spoil(*this);
  const testing::Snapshot before = testing::snapshot_tree(store.imports_root());

  for (int attempt = 0; attempt < 2; ++attempt) {
    expect_failure(s.download_road ? download() : upload(), kDifferentData,
                   ErrorCode::RequestConflict);
  }
  auto launched = staged_manifest_path(config, kId);
  ASSERT_FALSE(launched) << "a spoiled stage would be launched";
  EXPECT_EQ(code_text(launched.error().code), code_text(s.launch_code));
  EXPECT_EQ(testing::compare_snapshots(before, testing::snapshot_tree(store.imports_root())),
            std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Spoils, SpoiledStages, ::testing::ValuesIn(kSpoils),
                         [](const auto& tested) { return "Case" + std::to_string(tested.index); });

}  // namespace
}  // namespace varquin::staging
