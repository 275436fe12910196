// Cloning depends on the file system under $TMPDIR: on one that clones (Btrfs, XFS, APFS) the
// copy must be whole; elsewhere the target must be left empty and open for an ordinary copy.
#include "platform/copy.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "toolkit/fs.h"

namespace varquin::platform {
namespace {

TEST(CloneFile, ClonesTheWholeFileOrLeavesAnEmptyTargetForACopy) {
  testing::TempDir dir;
  std::string content(300'000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  testing::write_file(dir / "source", content);
  auto source = toolkit::open_read_only(dir / "source");
  ASSERT_TRUE(source);
  auto directory = Directory::open(dir.path());
  ASSERT_TRUE(directory);
  auto target = directory->create_file("target");
  ASSERT_TRUE(target);

  auto cloned = clone_file(source->get(), *target, *directory, "target");
  ASSERT_TRUE(cloned) << cloned.error().text();
  ASSERT_TRUE(target->valid());
  if (*cloned) {
    EXPECT_EQ(testing::read_file(dir / "target"), content);
  } else {
    EXPECT_EQ(testing::read_file(dir / "target"), "");
    // Still the caller's file, open for writing.
    const std::string tail = "copied";
    ASSERT_TRUE(write_all(target->get(),
                          {reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size()}));
    EXPECT_EQ(testing::read_file(dir / "target"), tail);
  }
  // The source is only read.
  EXPECT_EQ(testing::read_file(dir / "source"), content);
}

TEST(CloneFile, ACloneIsIndependentOfItsSource) {
  testing::TempDir dir;
  testing::write_file(dir / "source", std::string(70'000, 'a'));
  auto source = toolkit::open_read_only(dir / "source");
  auto directory = Directory::open(dir.path());
  ASSERT_TRUE(source && directory);
  auto target = directory->create_file("target");
  ASSERT_TRUE(target);
  auto cloned = clone_file(source->get(), *target, *directory, "target");
  ASSERT_TRUE(cloned) << cloned.error().text();
  if (!*cloned) GTEST_SKIP() << "the file system under $TMPDIR does not clone";
  testing::write_file(dir / "source", "changed");
  EXPECT_EQ(testing::read_file(dir / "target"), std::string(70'000, 'a'));
}

}  // namespace
}  // namespace varquin::platform
