#include "staging/lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "staging/store_fixture.h"

namespace varquin::staging {
namespace {

using Clock = std::chrono::steady_clock;
using testing::expect_failure;

// Another process that holds the staging lock for `hold`, then exits (which releases it).
class LockHolder {
 public:
  LockHolder(const std::string& lock_file, std::chrono::milliseconds hold) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT, 0666);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      char byte = 'l';
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      ::usleep(static_cast<useconds_t>(hold.count() * 1000));
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    locked_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~LockHolder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

class StagingLockTest : public test::StoreTest {
 protected:
  Result<StagingLock> acquire() const {
    return acquire_staging_lock(platform::Directory::create(store.imports_root()).value());
  }
};

TEST_F(StagingLockTest, ReleasedOnDestructionAndTheLockFileIsNeverRewritten) {
  testing::make_directories(store.imports_root());
  testing::write_file(store.lock_file(), "left by someone");
  {
    auto lock = acquire();
    ASSERT_TRUE(lock) << lock.error().message;
    StagingLock moved = std::move(*lock);
  }
  // Had the first lock survived, this would time out: flock excludes other open descriptions.
  ASSERT_TRUE(acquire());
  EXPECT_EQ(testing::read_file(store.lock_file()), "left by someone");
}

TEST_F(StagingLockTest, TimesOutAfterTwoSecondsWhileAnotherProcessHoldsIt) {
  testing::make_directories(store.imports_root());
  LockHolder holder(store.lock_file(), std::chrono::seconds(30));
  ASSERT_TRUE(holder.locked());
  const auto start = Clock::now();
  auto lock = acquire();
  const auto elapsed = Clock::now() - start;
  expect_failure(lock, "Another browser import is still being staged", ErrorCode::LockTimeout);
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(StagingLockTest, WaitsForAHolderThatReleasesInTime) {
  testing::make_directories(store.imports_root());
  LockHolder holder(store.lock_file(), std::chrono::milliseconds(400));
  ASSERT_TRUE(holder.locked());
  const auto start = Clock::now();
  auto lock = acquire();
  ASSERT_TRUE(lock) << lock.error().message;
  // It did wait: the holder really held the lock when the attempt began.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
}

}  // namespace
}  // namespace varquin::staging
