#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/tree.h"
#include "support/test_support.h"

namespace varquin::platform {
namespace {

TEST(StagingRemoveTree, NeverFollowsALinkPlantedInTheTree) {
  testing::TempDir dir;
  testing::make_directories(dir / "keep/inner");
  testing::write_file(dir / "keep/inner/precious.csv", "precious");
  testing::make_directories(dir / "tree/a/b");
  testing::write_file(dir / "tree/a/b/file.csv", "x");
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "tree/a/to-dir").c_str()), 0);
  ASSERT_EQ(
      ::symlink((dir / "keep/inner/precious.csv").c_str(), (dir / "tree/a/b/to-file").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "top-link").c_str()), 0);

  auto root = Directory::open(dir.path());
  ASSERT_TRUE(root);
  ASSERT_TRUE(remove_tree(*root, "tree"));
  ASSERT_TRUE(remove_tree(*root, "top-link"));  // the link goes, not what it names
  EXPECT_EQ(testing::list_names(dir.path()), std::vector<std::string>{"keep"});
  EXPECT_EQ(testing::read_file(dir / "keep/inner/precious.csv"), "precious");
}

}  // namespace
}  // namespace varquin::platform
