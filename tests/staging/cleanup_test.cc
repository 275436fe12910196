#include "staging/cleanup.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/expect_failure.h"
#include "support/test_support.h"

namespace varquin::staging {
namespace {

using testing::TempDir;

constexpr const char* kId = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kOtherId = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

class CleanupTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string inbox = dir / "Downloads/Varquin Inbox";
  std::string request_dir = inbox + "/" + kId;

  void SetUp() override { testing::make_directories(request_dir); }
};

TEST_F(CleanupTest, RemovesTheEmptiedRequestDirectoryAndTheEmptyInbox) {
  ASSERT_TRUE(cleanup_download_container(kId, request_dir));
  EXPECT_FALSE(testing::path_exists(request_dir));
  EXPECT_FALSE(testing::path_exists(inbox));
  EXPECT_EQ(testing::list_names(dir / "Downloads"), std::vector<std::string>{});
}

TEST_F(CleanupTest, KeepsAnInboxThatHoldsAnotherRequest) {
  testing::make_directories(inbox + "/" + kOtherId);
  ASSERT_TRUE(cleanup_download_container(kId, request_dir));
  EXPECT_EQ(testing::list_names(inbox), std::vector<std::string>{kOtherId});
}

TEST_F(CleanupTest, AMissingDirectoryIsNothingToClean) {
  ASSERT_TRUE(cleanup_download_container(kId, request_dir));
  ASSERT_TRUE(cleanup_download_container(kId, request_dir));
  ASSERT_TRUE(cleanup_download_container(kId, dir / "nowhere/Varquin Inbox/" + kId));
}

TEST_F(CleanupTest, AcceptsATrailingSlashAndAnUpperCaseRequestId) {
  // Another request's ID: on a case-insensitive volume (macOS's default) the fixture's ID in upper
  // case would name the fixture's own directory.
  const std::string upper = "7D444840-9DC0-11D1-B245-5FFDCE74FAD2";
  testing::make_directories(inbox + "/" + upper);
  ASSERT_TRUE(cleanup_download_container(upper, inbox + "/" + upper + "/"));
  EXPECT_EQ(testing::list_names(inbox), std::vector<std::string>{kId});
  ASSERT_TRUE(cleanup_download_container(kId, request_dir + "//"));
  EXPECT_FALSE(testing::path_exists(inbox));
}

TEST_F(CleanupTest, RefusesPathsOutsideAManagedRequestDirectory) {
  const std::string outside = "The cleanup path is outside the managed browser download container";
  testing::make_directories(dir / "Downloads/varquin inbox/" + kId);
  testing::make_directories(dir / "Downloads/Elsewhere/" + kId);
  testing::make_directories(request_dir + "/" + kOtherId);
  struct Case {
    std::string id, path, message;
    ErrorCode code;
  };
  const std::vector<Case> cases = {
      {"not-a-uuid", request_dir, "The browser import request ID is invalid",
       ErrorCode::InvalidFile},
      {"0f8fad5bd9cb469fa16570867728950e", inbox + "/0f8fad5bd9cb469fa16570867728950e",
       "The browser import request ID is not canonical", ErrorCode::InvalidFile},
      {kId, std::string("Downloads/Varquin Inbox/") + kId, outside, ErrorCode::InvalidFile},
      {kId, inbox + "/" + kOtherId, outside, ErrorCode::InvalidFile},
      {kId, dir / "Downloads/varquin inbox/" + kId, outside, ErrorCode::InvalidFile},
      {kId, dir / "Downloads/Elsewhere/" + kId, outside, ErrorCode::InvalidFile},
      {kId, inbox, outside, ErrorCode::InvalidFile},
      {kId, request_dir + "/..", outside, ErrorCode::InvalidFile},
      {kId, std::string(kId), outside, ErrorCode::InvalidFile},
      // A request directory nested in another one.
      {kOtherId, request_dir + "/" + kOtherId, outside, ErrorCode::InvalidFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testing::expect_failure(cleanup_download_container(c.id, c.path), c.message, c.code);
  }
  EXPECT_TRUE(testing::path_exists(request_dir + "/" + kOtherId));
  EXPECT_TRUE(testing::path_exists(dir / "Downloads/varquin inbox/" + kId));
  EXPECT_TRUE(testing::path_exists(dir / "Downloads/Elsewhere/" + kId));
}

TEST_F(CleanupTest, RefusesSymbolicLinksAnywhereInThePath) {
  const std::string real_id = dir / "Elsewhere/Varquin Inbox/" + kOtherId;
  testing::make_directories(real_id);
  ASSERT_EQ(::symlink(real_id.c_str(), (inbox + "/" + kOtherId).c_str()), 0);
  ASSERT_EQ(::symlink((dir / "Downloads").c_str(), (dir / "Linked").c_str()), 0);
  // The link points inside the container and still is refused.
  for (const auto& [id, path] : std::vector<std::pair<std::string, std::string>>{
           {kOtherId, inbox + "/" + kOtherId},
           {kId, dir / "Linked/Varquin Inbox/" + kId},
       }) {
    SCOPED_TRACE(path);
    testing::expect_failure(cleanup_download_container(id, path),
                            "Symlinked browser import paths are not allowed",
                            ErrorCode::InvalidFile);
  }
  EXPECT_TRUE(testing::path_exists(real_id));
  EXPECT_TRUE(testing::path_exists(request_dir));
}

TEST_F(CleanupTest, RefusesARequestPathThatIsNotADirectory) {
  testing::write_file(inbox + "/" + kOtherId, "a file named like a request");
  testing::expect_failure(cleanup_download_container(kOtherId, inbox + "/" + kOtherId),
                          "The cleanup target is not a managed request directory",
                          ErrorCode::InvalidFile);
  EXPECT_EQ(testing::read_file(inbox + "/" + kOtherId), "a file named like a request");
}

TEST_F(CleanupTest, RefusesADirectoryThatStillHoldsAnEntry) {
  for (const std::string name : {"report.csv", ".hidden", "sub"}) {
    SCOPED_TRACE(name);
    const std::string entry = request_dir + "/" + name;
    if (name == "sub") {
      testing::make_directories(entry);
    } else {
      testing::write_file(entry, "still here");
    }
    testing::expect_failure(cleanup_download_container(kId, request_dir),
                            "The managed browser download directory is not empty",
                            ErrorCode::CleanupFailed);
    EXPECT_EQ(testing::list_names(request_dir), std::vector<std::string>{name});
    if (name == "sub") {
      ASSERT_EQ(::rmdir(entry.c_str()), 0);
    } else {
      EXPECT_EQ(testing::read_file(entry), "still here");
      ASSERT_EQ(::unlink(entry.c_str()), 0);
    }
  }
  // Once emptied, the same request succeeds.
  ASSERT_TRUE(cleanup_download_container(kId, request_dir));
  EXPECT_FALSE(testing::path_exists(request_dir));
}

TEST_F(CleanupTest, ResolvesDotDotComponentsBeforeRemoving) {
  const std::string roundabout = dir / "Downloads/Other/../Varquin Inbox/" + kId;
  testing::make_directories(dir / "Downloads/Other");
  ASSERT_TRUE(cleanup_download_container(kId, roundabout));
  EXPECT_FALSE(testing::path_exists(request_dir));
  EXPECT_FALSE(testing::path_exists(inbox));
  EXPECT_TRUE(testing::path_exists(dir / "Downloads/Other"));
}

}  // namespace
}  // namespace varquin::staging
