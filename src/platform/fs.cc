#include "platform/fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/tree.h"

namespace varquin::platform {

namespace {

OsResult<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode = 0) {
  if (holds_nul(path)) return os_error(EINVAL);
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

}  // namespace

OsStatus create_directories(const std::string& path) {
  if (path.empty()) return os_error(ENOENT);
  if (holds_nul(path)) return os_error(EINVAL);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return {};
    return os_error(EEXIST);
  }
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};  // "/" itself
  std::size_t slash = path.find_last_of('/', end);
  if (slash != std::string::npos && slash > 0) {
    auto parent = create_directories(path.substr(0, slash));
    if (!parent) return parent;
  }
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int error = errno;
  // Another process may have created it between our stat and mkdir.
  if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
  return os_error(error);
}

OsStatus create_directory(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  if (::mkdir(path.c_str(), 0777) != 0) return last_os_error();
  return {};
}

OsResult<UniqueFd> create_exclusive_file(const std::string& path) {
  return open_fd(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}

OsResult<UniqueFd> create_or_truncate_file(const std::string& path) {
  return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

OsResult<UniqueFd> open_read_only(const std::string& path, bool nonblocking) {
  return open_fd(path, O_RDONLY | (nonblocking ? O_NONBLOCK : 0));
}

OsStatus set_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return last_os_error();
  return {};
}

OsResult<struct stat> stat_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return last_os_error();
  return info;
}

OsResult<struct stat> lstat_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return last_os_error();
  return info;
}

OsResult<struct stat> stat_fd(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return last_os_error();
  return info;
}

WallTime modification_time(const struct stat& info) {
#if defined(__APPLE__)
  const timespec& time = info.st_mtimespec;
#else
  const timespec& time = info.st_mtim;
#endif
  return WallTime{static_cast<std::int64_t>(time.tv_sec), static_cast<std::uint32_t>(time.tv_nsec)};
}

OsStatus rename_path(const std::string& from, const std::string& to) {
  if (holds_nul(from) || holds_nul(to)) return os_error(EINVAL);
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

OsStatus remove_file(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

OsResult<std::string> real_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return last_os_error();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

namespace {

std::pair<std::string, std::string> split_parent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return {".", trimmed};
  std::string parent = slash == 0 ? "/" : trimmed.substr(0, slash);
  return {parent, trimmed.substr(slash + 1)};
}

}  // namespace

OsResult<std::vector<DirEntry>> list_directory(const std::string& path) {
  VARQUIN_ASSIGN_OR_RETURN(auto dir, Directory::open(path));
  return dir.list();
}

OsStatus remove_tree(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  auto [parent, name] = split_parent(path);
  if (name.empty() || name == "." || name == ".." || name == "/") return os_error(EINVAL);
  VARQUIN_ASSIGN_OR_RETURN(auto parent_dir, Directory::open(parent));
  return platform::remove_tree(parent_dir, name);
}

OsStatus try_lock_exclusive(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return last_os_error();
  return {};
}

OsStatus unlock(int fd) {
  if (::flock(fd, LOCK_UN) != 0) return last_os_error();
  return {};
}

}  // namespace varquin::platform
