#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "toolkit/fs.h"

namespace varquin::platform {
namespace {

int strong_error = 0;
int interruptions = 0;

// Stands in for F_FULLFSYNC on a volume that answers `strong_error`, after `interruptions` EINTR.
int strong_sync(int) {
  errno = interruptions-- > 0 ? EINTR : strong_error;
  return errno == 0 ? 0 : -1;
}

// Network and FUSE volumes refuse F_FULLFSYNC; a stage must still be written there, with fsync.
TEST(FullSync, FallsBackToFsyncOnlyWhereTheVolumeDoesNotKnowTheRequest) {
  testing::TempDir dir;
  const int fd = ::open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  const std::pair<int, int> cases[] = {{ENOTSUP, 0}, {EINVAL, 0}, {ENOTTY, 0},
                                       {0, 0},       {EIO, EIO},  {ENOSPC, ENOSPC}};
  for (const auto& [refusal, expected] : cases) {
    SCOPED_TRACE(refusal);
    strong_error = refusal;
    interruptions = 2;
    auto synced = full_sync_using(fd, strong_sync);
    EXPECT_EQ(synced ? 0 : synced.error().number, expected);
  }
  ::close(fd);
}

}  // namespace
}  // namespace varquin::platform
