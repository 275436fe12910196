#include <fcntl.h>
#include <unistd.h>

#include "platform/fs.h"

namespace varquin::platform {

OsStatus full_sync(int fd) {
#if defined(__APPLE__)
  // fsync on macOS only hands the data to the drive, whose cache may still lose it on power
  // failure; F_FULLFSYNC asks the drive to flush that cache too.
  for (;;) {
    if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
    if (errno != EINTR) return last_os_error();
  }
#else
  for (;;) {
    if (::fsync(fd) == 0) return {};
    if (errno != EINTR) return last_os_error();
  }
#endif
}

}  // namespace varquin::platform
