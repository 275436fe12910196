#include <fcntl.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/fd.h"

namespace varquin::platform {

namespace {

OsStatus plain_sync(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return {};
    if (errno != EINTR) return last_os_error();
  }
}

}  // namespace

OsStatus full_sync_using(int fd, int (*strong)(int fd)) {
  for (;;) {
    if (strong(fd) == 0) return {};
    const int error = errno;
    if (error == EINTR) continue;
    // Volumes that do not know the request (SMB: ENOTSUP, WebDAV and macFUSE: EINVAL, ZFS:
    // ENOTTY) offer no more than fsync, which is then the best there is, as SQLite and Go do it.
    if (error == ENOTSUP || error == EOPNOTSUPP || error == EINVAL || error == ENOTTY) {
      return plain_sync(fd);
    }
    return os_error(error);
  }
}

OsStatus full_sync(int fd) {
  if (auto fault = injected_fault(FileOperation::Sync, {})) return os_error(fault->error);
#if defined(__APPLE__)
  // fsync on macOS only hands the data to the drive, whose cache may still lose it on power
  // failure; F_FULLFSYNC asks the drive to flush that cache too.
  return full_sync_using(fd, [](int descriptor) { return ::fcntl(descriptor, F_FULLFSYNC); });
#else
  return plain_sync(fd);
#endif
}

}  // namespace varquin::platform
