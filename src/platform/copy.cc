#include "platform/copy.h"

#include <fcntl.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <sys/clonefile.h>
#elif defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace varquin::platform {

namespace {

// The answers of a file system (or pair of them) that cannot clone, as opposed to a failure.
bool means_unsupported(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOTSUP || error == ENOTTY ||
         error == EINVAL || error == ENOSYS;
}

}  // namespace

#if defined(__APPLE__)

OsResult<bool> clone_file(int from, UniqueFd& to, const Directory& directory,
                          std::string_view to_name) {
  const std::string name(to_name);
  // fclonefileat creates its target and refuses an existing one: the empty file makes way. The
  // directory is the caller's own and held by descriptor, so the name cannot lead elsewhere.
  if (auto removed = directory.remove_file(name); !removed) return std::unexpected(removed.error());
  if (::fclonefileat(from, directory.fd(), name.c_str(), 0) != 0) {
    const int error = errno;
    auto recreated = directory.create_file(name);
    if (!recreated) return std::unexpected(recreated.error());
    to = std::move(*recreated);
    if (means_unsupported(error)) return false;
    return os_error(error);
  }
  for (;;) {
    const int fd = ::openat(directory.fd(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      to = UniqueFd(fd);
      return true;
    }
    if (errno != EINTR) return last_os_error();
  }
}

#elif defined(__linux__) && defined(FICLONE)

OsResult<bool> clone_file(int from, UniqueFd& to, const Directory&, std::string_view) {
  if (::ioctl(to.get(), FICLONE, from) == 0) return true;
  if (means_unsupported(errno)) return false;
  return last_os_error();
}

#else

OsResult<bool> clone_file(int, UniqueFd&, const Directory&, std::string_view) {
  return false;
}

#endif

}  // namespace varquin::platform
