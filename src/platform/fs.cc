#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace varquin::platform {

namespace {

OsResult<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode = 0) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

}  // namespace

OsStatus create_directories(const std::string& path) {
  if (path.empty()) return os_error(ENOENT);
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
  if (::mkdir(path.c_str(), 0777) != 0) return last_os_error();
  return {};
}

OsResult<UniqueFd> create_exclusive_file(const std::string& path) {
  return open_fd(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}

OsResult<UniqueFd> create_or_truncate_file(const std::string& path) {
  return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

OsResult<UniqueFd> open_or_create_read_write(const std::string& path) {
  return open_fd(path, O_RDWR | O_CREAT, 0666);
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
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return last_os_error();
  return info;
}

OsResult<struct stat> lstat_path(const std::string& path) {
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
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

OsStatus remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

OsStatus remove_empty_directory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return last_os_error();
  return {};
}

OsResult<std::string> real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return last_os_error();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

OsResult<std::string> read_whole_file(const std::string& path) {
  auto fd = open_fd(path, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  auto info = stat_fd(fd->get());
  if (!info) return std::unexpected(info.error());
  if (S_ISDIR(info->st_mode)) return os_error(EISDIR);
  std::string content;
  if (info->st_size > 0) content.reserve(static_cast<std::size_t>(info->st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    auto got = read_some(fd->get(), buffer);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) break;
    content.append(reinterpret_cast<const char*>(buffer), *got);
  }
  return content;
}

namespace {

std::optional<EntryKind> kind_from_mode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::Regular;
  if (S_ISDIR(mode)) return EntryKind::Directory;
  if (S_ISLNK(mode)) return EntryKind::Symlink;
  return EntryKind::Other;
}

std::optional<EntryKind> kind_from_dirent(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryKind::Regular;
    case DT_DIR:
      return EntryKind::Directory;
    case DT_LNK:
      return EntryKind::Symlink;
    case DT_UNKNOWN:
      return std::nullopt;
    default:
      return EntryKind::Other;
  }
}

// Lists the directory open at `dir_fd` (the descriptor stays owned by the caller).
OsResult<std::vector<DirEntry>> list_open_directory(int dir_fd) {
  int listing_fd = ::dup(dir_fd);
  if (listing_fd < 0) return last_os_error();
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    int error = errno;
    ::close(listing_fd);
    return os_error(error);
  }
  ::rewinddir(dir);
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      int error = errno;
      ::closedir(dir);
      if (error != 0) return os_error(error);
      return entries;
    }
    std::string name(entry->d_name);
    if (name == "." || name == "..") continue;
    DirEntry item{name, kind_from_dirent(entry->d_type), std::nullopt};
    if (!item.kind) {
      struct stat info {};
      if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        item.kind = kind_from_mode(info.st_mode);
      } else {
        item.error = OsError{errno};
      }
    }
    entries.push_back(std::move(item));
  }
}

OsResult<UniqueFd> open_directory_nofollow(int parent_fd, const char* name) {
  int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return last_os_error();
  return UniqueFd(fd);
}

OsStatus remove_entry_at(int parent_fd, const std::string& name);

// Empties the directory open at `dir_fd`; never leaves it through a link.
OsStatus remove_contents(int dir_fd) {
  auto entries = list_open_directory(dir_fd);
  if (!entries) return std::unexpected(entries.error());
  for (const DirEntry& entry : *entries) {
    auto removed = remove_entry_at(dir_fd, entry.name);
    if (!removed && removed.error().number != ENOENT) return removed;
  }
  return {};
}

// Removes one entry of an open directory. The entry is first opened as a directory with
// O_NOFOLLOW: if that fails because it is a link or not a directory, it is unlinked as a file,
// which removes a link itself and never its target.
OsStatus remove_entry_at(int parent_fd, const std::string& name) {
  auto child = open_directory_nofollow(parent_fd, name.c_str());
  if (!child) {
    int error = child.error().number;
    if (error != ENOTDIR && error != ELOOP) return std::unexpected(child.error());
    if (::unlinkat(parent_fd, name.c_str(), 0) != 0) return last_os_error();
    return {};
  }
  auto emptied = remove_contents(child->get());
  if (!emptied) return emptied;
  child->reset();
  if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) return last_os_error();
  return {};
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

OsResult<std::vector<DirEntry>> list_directory(const std::string& path) {
  auto dir = open_fd(path, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  return list_open_directory(dir->get());
}

OsStatus remove_tree(const std::string& path) {
  auto [parent, name] = split_parent(path);
  if (name.empty() || name == "." || name == ".." || name == "/") return os_error(EINVAL);
  auto parent_fd = open_fd(parent, O_RDONLY | O_DIRECTORY);
  if (!parent_fd) return std::unexpected(parent_fd.error());
  return remove_entry_at(parent_fd->get(), name);
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
