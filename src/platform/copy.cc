#include "platform/copy.h"

#include <fcntl.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <sys/acl.h>
#include <sys/clonefile.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>
#include <string>
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

namespace {

// fclonefileat gives the clone the source's metadata: its mode (a read-only download could not be
// reopened for writing), flags, ACL and extended attributes (the quarantine flag and the "where
// from" URL of the download). The staged file must be what a streamed copy gives: the fresh
// file's mode and nothing else.
OsStatus make_plain(int fd, mode_t mode) {
  if (::fchflags(fd, 0) != 0) return last_os_error();
  if (::fchmod(fd, mode) != 0) return last_os_error();
  acl_t empty = ::acl_init(0);
  if (empty == nullptr) return last_os_error();
  const int acl_result = ::acl_set_fd_np(fd, empty, ACL_TYPE_EXTENDED);
  const int acl_error = errno;
  ::acl_free(empty);
  if (acl_result != 0 && acl_error != ENOENT) return os_error(acl_error);
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0, 0);
    if (size < 0) return last_os_error();
    if (size == 0) return {};
    std::string names(static_cast<std::size_t>(size), '\0');
    const ssize_t listed = ::flistxattr(fd, names.data(), names.size(), 0);
    if (listed < 0) return last_os_error();
    // NUL-separated names; removing them all empties the list, which the next pass confirms.
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
      const char* attribute = names.c_str() + at;
      if (::fremovexattr(fd, attribute, 0) != 0 && errno != ENOATTR) return last_os_error();
      at += std::strlen(attribute) + 1;
    }
  }
}

OsResult<UniqueFd> reopen(const Directory& directory, const std::string& name, int flags) {
  for (;;) {
    const int fd = ::openat(directory.fd(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

// Puts the empty file back in place of a clone that could not be had (or made plain).
OsResult<bool> stream_instead(UniqueFd& to, const Directory& directory, const std::string& name,
                              int error) {
  (void)directory.remove_file(name);
  VARQUIN_ASSIGN_OR_RETURN(auto recreated, directory.create_file(name));
  to = std::move(recreated);
  if (error == 0 || means_unsupported(error)) return false;
  return os_error(error);
}

}  // namespace

OsResult<bool> clone_file(int from, UniqueFd& to, const Directory& directory,
                          std::string_view to_name) {
  const std::string name(to_name);
  // The mode a streamed copy would have: the empty file's, 0666 as the umask leaves it.
  struct stat empty {};
  if (::fstat(to.get(), &empty) != 0) return last_os_error();
  // fclonefileat creates its target and refuses an existing one: the empty file makes way. The
  // directory is the caller's own and held by descriptor, so the name cannot lead elsewhere.
  VARQUIN_RETURN_IF_ERROR(directory.remove_file(name));
  if (::fclonefileat(from, directory.fd(), name.c_str(), CLONE_NOFOLLOW | CLONE_NOOWNERCOPY) != 0) {
    return stream_instead(to, directory, name, errno);
  }
  auto clone = reopen(directory, name, O_RDONLY);
  if (!clone) return stream_instead(to, directory, name, clone.error().number);
  // A clone that cannot be made plain (a system flag, say) is streamed like any other copy.
  if (!make_plain(clone->get(), empty.st_mode & 07777))
    return stream_instead(to, directory, name, 0);
  VARQUIN_ASSIGN_OR_RETURN(auto writable, reopen(directory, name, O_WRONLY));
  to = std::move(writable);
  return true;
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
