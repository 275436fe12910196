#include "staging/stage_download.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "platform/path.h"
#include "staging/race.h"
#include "staging/store_fixture.h"
#include "staging/transaction.h"
#include "toolkit/fs.h"
#include "util/sha256.h"

namespace varquin::staging {
namespace {

using test::kId;
using test::numbered_id;
using testing::expect_failure;

class StageDownload : public test::StoreTest {
 protected:
  const std::string inbox = dir / "Downloads/Varquin Inbox";
  const std::string request_dir = inbox + "/" + kId;
  const std::string file = request_dir + "/report.csv";
  const std::string content = "a,b\n1,2\n";

  void SetUp() override {
    testing::make_directories(request_dir);
    testing::write_file(file, content);
  }

  Result<StageOutcome> stage(const std::string& path, std::string_view name = "report.csv") {
    return stage_download(config, kId, path, name);
  }
};

TEST_F(StageDownload, CopiesADecomposedNameUnderItsComposedForm) {
  const std::string decomposed = request_dir + "/re\u0301sume\u0301.csv";
  ASSERT_EQ(std::rename(file.c_str(), decomposed.c_str()), 0);
  auto outcome = stage(decomposed, "r\u00e9sum\u00e9.csv");
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome->kind, StageKind::Staged);
  EXPECT_TRUE(outcome->created);
  EXPECT_EQ(outcome->manifest_path, store.manifest_path(kId));

  const std::string staged = store.stage_directory(kId) + "/r\u00e9sum\u00e9.csv";
  EXPECT_EQ(testing::read_file(staged), content);
  // The browser's file is only read.
  EXPECT_EQ(testing::read_file(decomposed), content);
  EXPECT_EQ(stages(), std::vector<std::string>{kId});

  auto manifest = read_json<ImportManifest>(store.manifest_path(kId));
  ASSERT_TRUE(manifest) << manifest.error().message;
  EXPECT_EQ(manifest->original_source_path, platform::real_path(decomposed).value());
  EXPECT_EQ(manifest->file_path, staged);
  EXPECT_EQ(manifest->original_name, "r\u00e9sum\u00e9.csv");
  EXPECT_EQ(manifest->size_bytes, content.size());
  EXPECT_EQ(manifest->sha256,
            util::sha256_hex(
                std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size())));
  EXPECT_TRUE(manifest->temporary);
}

TEST_F(StageDownload, PathsAreRefusedBeforeAnythingIsStaged) {
  testing::make_directories(inbox + "/" + numbered_id(1));
  testing::write_file(inbox + "/" + numbered_id(1) + "/report.csv", content);
  testing::make_directories(request_dir + "/sub");
  testing::write_file(request_dir + "/sub/report.csv", content);
  ASSERT_EQ(::symlink((dir / "Downloads").c_str(), (dir / "alias").c_str()), 0);
  ASSERT_EQ(::symlink("report.csv", (request_dir + "/linked.csv").c_str()), 0);
  testing::make_directories(request_dir + "/folder.csv");
  ASSERT_EQ(::mkfifo((request_dir + "/pipe.csv").c_str(), 0666), 0);
  testing::write_file(request_dir + "/big.csv", "");
  ASSERT_EQ(::truncate((request_dir + "/big.csv").c_str(), 67'108'865), 0);

  const std::string outside = "The browser import path is outside its managed request directory";
  const std::string symlinked = "Symlinked browser import paths are not allowed";
  const std::string not_regular = "The browser import source is not a regular file";
  struct Case {
    std::string path, name, message;
  };
  const Case cases[] = {
      {"Downloads/Varquin Inbox/" + std::string(kId) + "/report.csv", "report.csv",
       "The browser import path must be absolute"},
      {inbox + "/" + numbered_id(1) + "/report.csv", "report.csv", outside},
      {request_dir + "/sub/report.csv", "report.csv", outside},
      {dir / ("alias/Varquin Inbox/" + std::string(kId) + "/report.csv"), "report.csv", symlinked},
      {request_dir + "/linked.csv", "linked.csv", symlinked},
      {request_dir + "/folder.csv", "folder.csv", not_regular},
      {request_dir + "/pipe.csv", "pipe.csv", not_regular},
      {request_dir + "/missing.csv", "missing.csv", "Unable to inspect source path: "},
      {file, "other.csv", "The browser import filename does not match the selected attachment"},
  };
  ::alarm(60);  // a FIFO that held the open would hang the run: fail it instead
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    expect_failure(stage(c.path, c.name), c.message, ErrorCode::InvalidFile);
  }
  ::alarm(0);
  expect_failure(stage(request_dir + "/big.csv", "big.csv"),
                 "The attachment exceeds Varquin's 64 MiB limit", ErrorCode::FileTooLarge);
  EXPECT_FALSE(testing::path_exists(config.electron_user_data_path));
}

TEST_F(StageDownload, RepeatsAreReusedOrRefused) {
  const char* kDifferentData =
      "The browser import request ID already contains different or incomplete data";
  ASSERT_TRUE(stage(file));
  const std::string manifest_before = testing::read_file(store.manifest_path(kId));
  auto again = stage(file);
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_EQ(again->kind, StageKind::Reused);
  EXPECT_EQ(again->manifest_path, store.manifest_path(kId));
  EXPECT_EQ(testing::read_file(store.manifest_path(kId)), manifest_before);

  testing::write_file(file, "a,b\n1,3\n");
  expect_failure(stage(file), kDifferentData, ErrorCode::RequestConflict);
  testing::write_file(file, content);
  // A staged file replaced by a link to an identical copy makes the stage incomplete.
  const std::string staged = store.stage_directory(kId) + "/report.csv";
  ASSERT_EQ(std::rename(staged.c_str(), (dir / "copy.csv").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "copy.csv").c_str(), staged.c_str()), 0);
  expect_failure(stage(file), kDifferentData, ErrorCode::RequestConflict);
}

TEST_F(StageDownload, AFileChangedBetweenHashingAndCopyingIsNotStaged) {
  for (const std::string& replacement : {std::string("x,y\n9,9\n"), content + "3,4\n"}) {
    SCOPED_TRACE(replacement);
    testing::write_file(file, content);
    bool changed = false;
    auto previous = set_race_hook([&](RacePoint point) {
      if (point != RacePoint::BrowserFileHashed) return;
      testing::write_file(file, replacement);
      changed = true;
    });
    auto outcome = stage_download(config, kId, file, "report.csv");
    set_race_hook(std::move(previous));
    ASSERT_TRUE(changed);
    expect_failure(
        outcome, "Unable to stage browser import file: the file changed while it was being staged",
        ErrorCode::StagingFailed);
    EXPECT_EQ(stages(), std::vector<std::string>{});  // no stage, no incoming directory
  }
}

TEST_F(StageDownload, AFailedPublicationLeavesNoIncomingDirectory) {
  // A stage directory without a manifest is not examined; the rename then meets it.
  testing::make_directories(store.stage_directory(kId));
  testing::write_file(store.stage_directory(kId) + "/junk", "");
  expect_failure(stage(file),
                 "Unable to publish browser import request: ", ErrorCode::StagingFailed);
  EXPECT_EQ(stages(), std::vector<std::string>{kId});
  EXPECT_EQ(testing::list_names(store.stage_directory(kId)), std::vector<std::string>{"junk"});
}

}  // namespace
}  // namespace varquin::staging
