// The cross-process staging lock: an advisory exclusive flock on the store's lock file.
#pragma once

#include "error.h"
#include "platform/directory.h"
#include "platform/fd.h"

namespace varquin::staging {

// The held lock. Releasing it unlocks the file, then closes the handle.
class StagingLock {
 public:
  explicit StagingLock(platform::UniqueFd file) : file_(std::move(file)) {}
  StagingLock(StagingLock&&) noexcept = default;
  StagingLock& operator=(StagingLock&&) noexcept = default;
  ~StagingLock();

 private:
  platform::UniqueFd file_;
};

// Opens (or creates) the lock file of the imports root, held open by the caller, and polls a
// non-blocking flock every 25 ms for at most 2 s. A link at the lock file's name is refused, not
// followed.
Result<StagingLock> acquire_staging_lock(const platform::Directory& imports_root);

}  // namespace varquin::staging
