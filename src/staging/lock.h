// The cross-process staging lock: an advisory exclusive flock on the store's lock file.
#pragma once

#include <string>

#include "error.h"
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

// Creates the imports root, opens (or creates) its lock file and polls a non-blocking flock every
// 25 ms for at most 2 s.
Result<StagingLock> acquire_staging_lock(const std::string& imports_root);

}  // namespace varquin::staging
