#include "platform/directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace varquin::platform {
namespace {

class DirectoryTest : public ::testing::Test {
 protected:
  testing::TempDir dir;

  void SetUp() override {
    testing::make_directories(dir / "real/inner");
    ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "real/inner").c_str(), (dir / "real/inner-link").c_str()), 0);
  }
};

// A link anywhere in the path, or a path the system would read only up to a NUL, is refused;
// creating never makes anything through a link.
TEST_F(DirectoryTest, PathsWithALinkOrANulAreRefused) {
  const std::pair<std::string, int> refused[] = {
      {dir / "link", ELOOP},
      {dir / "link/inner", ELOOP},
      {dir / "real/inner-link", ELOOP},
      {dir / "link/new/deeper", ELOOP},
      {dir / "real/inner-link/new", ELOOP},
      {dir / "real" + std::string(1, '\0') + "/inner", EINVAL},
  };
  for (const auto& [path, error] : refused) {
    SCOPED_TRACE(path);
    auto opened = Directory::open(path);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().number, error);
    auto created = Directory::create(path);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().number, error);
  }
  EXPECT_FALSE(testing::path_exists(dir / "real/inner/new"));
  EXPECT_FALSE(testing::path_exists(dir / "real/new"));

  auto created = Directory::create(dir / "real/a/../b/c");
  ASSERT_TRUE(created) << created.error().text();
  EXPECT_TRUE(testing::path_exists(dir / "real/b/c"));
  EXPECT_EQ(created->path(), dir / "real/a/../b/c");
}

TEST_F(DirectoryTest, NamesAreSingleComponentsAndReadsAreBounded) {
  auto real = Directory::open(dir / "real").value();
  for (const std::string& name : std::vector<std::string>{"", ".", "..", "inner/x", {"a\0b", 3}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(real.create_file(name).error().number, EINVAL);
    EXPECT_EQ(real.open_directory(name).error().number, EINVAL);
  }

  testing::write_file(dir / "real/small", "12345");
  ASSERT_EQ(::mkfifo((dir / "real/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir / "real/small").c_str(), (dir / "real/small-link").c_str()), 0);
  const std::pair<std::string, int> unreadable[] = {
      {"fifo", EINVAL}, {"inner", EISDIR}, {"small-link", ELOOP}, {"missing", ENOENT}};
  for (const auto& [name, error] : unreadable) {
    SCOPED_TRACE(name);
    EXPECT_EQ(real.read_file(name).error().number, error);
  }
  EXPECT_EQ(real.read_file("small", 4).error().number, EFBIG);
  EXPECT_EQ(real.read_file("small", 5).value(), "12345");
}

}  // namespace
}  // namespace varquin::platform
