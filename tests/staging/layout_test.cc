#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/request_id.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "staging/store_fixture.h"

namespace varquin::staging {
namespace {

using testing::expect_failure;

TEST(StagingLayout, RequestIdRule) {
  const char* kInvalid = "The browser import request ID is invalid";
  const char* kNotCanonical = "The browser import request ID is not canonical";
  const std::pair<std::string, const char*> cases[] = {
      {"0f8fad5b-d9cb-469f-a165-70867728950e", nullptr},
      {"0F8FAD5B-D9CB-469F-A165-70867728950E", nullptr},
      {"00000000-0000-0000-0000-000000000000", nullptr},
      {"0F8FAD5BD9CB469FA16570867728950E", kNotCanonical},
      {"{0F8FAD5B-D9CB-469F-A165-70867728950E}", kNotCanonical},
      {"urn:uuid:0F8FAD5B-D9CB-469F-A165-70867728950E", kNotCanonical},
      {"0f8fad5b-d9cb-469f-a165-70867728950", kInvalid},
      {"0f8fad5b-d9cb-469f-a165-70867728950g", kInvalid},
      {"", kInvalid},
      {"../etc", kInvalid},
  };
  for (const auto& [id, refusal] : cases) {
    SCOPED_TRACE(id);
    if (refusal == nullptr) {
      EXPECT_TRUE(validate_request_id(id));
    } else {
      expect_failure(validate_request_id(id), refusal, ErrorCode::InvalidFile);
    }
  }
}

TEST(StagingLayout, IncomingDirectoryNames) {
  testing::TempDir dir;
  const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  const std::string hex = "0123456789abcdef0123456789abcdef";
  // What the store creates must be what expiry and the census recognise.
  const std::string fresh = new_incoming_name(id).value();
  const std::pair<std::string, bool> cases[] = {
      {fresh, true},
      {".incoming-" + id + "-" + hex, true},
      {".incoming-" + id + "-0123456789abcdef0123456789abcdeF", false},
      {".incoming-" + id + "-" + std::string(test::kId), false},
      {".incoming-" + id + "_" + hex, false},
      {".incoming-0F8FAD5BD9CB469FA16570867728950E-----" + hex, false},
      {".incoming-" + id.substr(0, 35) + "\u00e9" + hex, false},  // byte 46 inside a character
  };
  auto root = platform::Directory::open(dir.path()).value();
  for (const auto& [name, valid] : cases) {
    SCOPED_TRACE(name);
    testing::make_directories(dir / name);
    EXPECT_EQ(is_valid_incoming_directory(root, name), valid);
  }
  const std::string link = ".incoming-" + id + "-eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
  ASSERT_EQ(::symlink((dir / cases[1].first).c_str(), (dir / link).c_str()), 0);
  EXPECT_FALSE(is_valid_incoming_directory(root, link));
}

TEST(StagingLayout, ManagedRequestSegments) {
  const std::string id = test::kId;
  const std::pair<std::string, bool> cases[] = {
      {"/Users/a//Varquin Inbox//" + id + "/", true},
      {"/Users/a/varquin inbox/" + id, false},
      {"/Users/a/Varquin Inbox/0F8FAD5B-D9CB-469F-A165-70867728950E", false},
      {id, false},
  };
  for (const auto& [path, managed] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(has_managed_request_segments(util::ParsedPath(path), id), managed);
  }
}

TEST(StagingLayout, SymlinkedComponentsAreRefused) {
  testing::TempDir dir;
  testing::make_directories(dir / "real/inner");
  testing::write_file(dir / "real/inner/file.csv", "x");
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink("file.csv", (dir / "real/inner/alias.csv").c_str()), 0);

  EXPECT_TRUE(reject_symlink_or_reparse_components(util::ParsedPath(dir / "real//inner/file.csv")));
  // A trailing "/" or "/." must not make lstat follow the link it should report.
  for (const char* path : {"link/inner/file.csv", "link/", "link/.", "real/inner/alias.csv"}) {
    SCOPED_TRACE(path);
    expect_failure(reject_symlink_or_reparse_components(util::ParsedPath(dir / path)),
                   "Symlinked browser import paths are not allowed", ErrorCode::InvalidFile);
  }
  expect_failure(reject_symlink_or_reparse_components(util::ParsedPath(dir / "real/missing.csv")),
                 "Unable to inspect source path: ", ErrorCode::InvalidFile);
}

}  // namespace
}  // namespace varquin::staging
