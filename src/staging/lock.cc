#include "staging/lock.h"

#include <chrono>

#include "platform/clock.h"
#include "platform/fd.h"
#include "staging/errors.h"
#include "staging/paths.h"

namespace varquin::staging {

namespace {

constexpr std::chrono::milliseconds kPollInterval{25};
constexpr std::chrono::seconds kWaitLimit{2};

}  // namespace

StagingLock::~StagingLock() {
  // Closing would release the lock anyway, so a failed unlock needs no handling.
  if (file_.valid()) (void)platform::unlock(file_.get());
}

Result<StagingLock> acquire_staging_lock(const platform::Directory& imports_root) {
  VARQUIN_ASSIGN_OR_RETURN(auto file, imports_root.open_or_create_file(kLockFileName),
                           staging_failed("Unable to open staging lock: "));
  const auto start = platform::MonotonicClock::now();
  for (;;) {
    auto locked = platform::try_lock_exclusive(file.get());
    if (locked) return StagingLock(std::move(file));
    // The deadline is tested first: past it, every failure reads as contention.
    if (platform::MonotonicClock::now() - start >= kWaitLimit) {
      return fail("Another browser import is still being staged", ErrorCode::LockTimeout);
    }
    if (!platform::is_would_block(locked.error())) {
      return staging_failed("Unable to acquire staging lock: ")(locked.error());
    }
    platform::sleep_for(kPollInterval);
  }
}

}  // namespace varquin::staging
