// For the platform's own sources, not its users: the one open loop behind every open of a path
// or an entry.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

// openat(2) with O_CLOEXEC added, repeated when interrupted. `dir` may be AT_FDCWD.
OsResult<UniqueFd> open_at(int dir, const std::string& name, int flags, mode_t mode = 0);

}  // namespace varquin::platform
