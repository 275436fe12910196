#include "toolkit/fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "platform/tree.h"

namespace varquin::toolkit {

using platform::Directory;
using platform::holds_nul;
using platform::last_os_error;
using platform::os_error;
using platform::OsResult;
using platform::OsStatus;
using platform::UniqueFd;

namespace {

OsResult<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode = 0) {
  if (holds_nul(path)) return os_error(EINVAL);
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

std::pair<std::string, std::string> split_parent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return {".", trimmed};
  std::string parent = slash == 0 ? "/" : trimmed.substr(0, slash);
  return {parent, trimmed.substr(slash + 1)};
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

OsResult<UniqueFd> create_exclusive_file(const std::string& path, mode_t mode) {
  return open_fd(path, O_WRONLY | O_CREAT | O_EXCL, mode);
}

OsResult<UniqueFd> create_or_truncate_file(const std::string& path) {
  return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

OsResult<UniqueFd> open_read_only(const std::string& path, bool nonblocking) {
  return open_fd(path, O_RDONLY | (nonblocking ? O_NONBLOCK : 0));
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

OsResult<std::vector<platform::DirEntry>> list_directory(const std::string& path) {
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

}  // namespace varquin::toolkit
