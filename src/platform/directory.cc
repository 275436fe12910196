#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cstdint>

#include "platform/fault.h"
#include "platform/open_at.h"

namespace varquin::platform {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#if defined(O_PATH)
// Linux: a descriptor that only locates, so a directory one may search but not read can be passed.
constexpr int kPassThroughFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kPassThroughFlags = kDirectoryFlags;
#endif

// A single component: anything else would let openat walk further, following links on the way.
OsResult<std::string> component(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      holds_nul(name)) {
    return os_error(EINVAL);
  }
  return std::string(name);
}

// Systems disagree on what O_NOFOLLOW reports for a link (ELOOP, EMLINK on the BSDs, ENOTDIR
// with O_DIRECTORY): callers see ELOOP whenever the entry is a link.
OsError nofollow_error(int dir, const std::string& name, int error) {
  if (error == ENOTDIR || error == EMLINK || error == ELOOP) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      return OsError{ELOOP};
    }
  }
  return OsError{error};
}

OsResult<UniqueFd> open_directory_with(int dir, const std::string& name, int flags) {
  auto fd = open_at(dir, name, flags);
  if (!fd) return std::unexpected(nofollow_error(dir, name, fd.error().number));
  return fd;
}

// The whole walk in one call where the kernel offers it, with the same contract: no link followed
// in any component (ELOOP), ".." resolved as the walk resolves it. None where it does not, and the
// walk goes component by component. Start-up opens the user-data directory this way, so the
// saving is a dozen system calls per bridge.
std::optional<OsResult<UniqueFd>> open_in_one_call(const std::string& path) {
#if defined(__linux__) && defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return OsResult<UniqueFd>(UniqueFd(static_cast<int>(fd)));
    if (errno == EINTR) continue;
    // Kernels before 5.6, or a sandbox that filters the call.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) return std::nullopt;
    return OsResult<UniqueFd>(last_os_error());
  }
#elif defined(__APPLE__) && defined(O_NOFOLLOW_ANY) && defined(__MAC_OS_X_VERSION_MIN_REQUIRED) && \
    __MAC_OS_X_VERSION_MIN_REQUIRED >= 110000
  // macOS 11 and later; an older kernel would ignore the flag, hence the deployment floor.
  auto fd = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW_ANY);
  return fd;
#else
  (void)path;
  return std::nullopt;
#endif
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

}  // namespace

OsResult<UniqueFd> open_at(int dir, const std::string& name, int flags, mode_t mode) {
  for (;;) {
    int fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

OsResult<UniqueFd> open_directory_at(int dir, const std::string& name) {
  return open_directory_with(dir, name, kDirectoryFlags);
}

FileIdentity identity_of(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

OsResult<FileIdentity> identity_of_fd(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return last_os_error();
  return identity_of(info);
}

WallTime modification_time(const struct stat& info) {
#if defined(__APPLE__)
  const timespec& time = info.st_mtimespec;
#else
  const timespec& time = info.st_mtim;
#endif
  return WallTime{static_cast<std::int64_t>(time.tv_sec), static_cast<std::uint32_t>(time.tv_nsec)};
}

EntryKind entry_kind_of(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::Regular;
  if (S_ISDIR(mode)) return EntryKind::Directory;
  if (S_ISLNK(mode)) return EntryKind::Symlink;
  return EntryKind::Other;
}

bool holds_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

OsResult<Directory> Directory::open(std::string_view path) {
  return with_fault(FileOperation::Open, path, [&] { return walk(path, false); });
}

OsResult<Directory> Directory::create(std::string_view path) {
  return walk(path, true);
}

OsResult<Directory> Directory::walk(std::string_view path, bool create) {
  if (path.empty()) return os_error(ENOENT);
  if (holds_nul(path)) return os_error(EINVAL);
  if (auto whole = open_in_one_call(std::string(path))) {
    if (*whole) return Directory(std::move(**whole), std::string(path));
    // Only a walk that creates goes on: it makes the missing components one by one.
    if (!create || whole->error().number != ENOENT) return std::unexpected(whole->error());
  }
  std::vector<std::string> names;
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = std::min(path.find('/', start), path.size());
    std::string name(path.substr(start, end - start));
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    start = end + 1;
  }
  // Directories on the way are only passed through: searching them is all a path lookup needs.
  auto flags_for = [&](std::size_t step) {
    return step == names.size() ? kDirectoryFlags : kPassThroughFlags;
  };
  VARQUIN_ASSIGN_OR_RETURN(auto current,
                           open_at(AT_FDCWD, path.front() == '/' ? "/" : ".", flags_for(0)));
  for (std::size_t step = 1; step <= names.size(); ++step) {
    const std::string& name = names[step - 1];
    auto next = open_directory_with(current.get(), name, flags_for(step));
    if (!next && next.error().number == ENOENT && create) {
      if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        return last_os_error();
      }
      next = open_directory_with(current.get(), name, flags_for(step));
    }
    if (!next) return std::unexpected(next.error());
    current = std::move(*next);
  }
  return Directory(std::move(current), std::string(path));
}

OsResult<FileIdentity> Directory::identity() const {
  return identity_of_fd(fd());
}

OsResult<Directory> Directory::open_directory(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  VARQUIN_ASSIGN_OR_RETURN(auto opened, with_fault(FileOperation::Open, name, [&] {
                             return open_directory_at(fd(), checked);
                           }));
  std::string child = path_;
  if (!child.empty() && child.back() != '/') child += '/';
  child += name;
  return Directory(std::move(opened), std::move(child));
}

OsStatus Directory::create_directory(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::CreateDirectory, name, [&]() -> OsStatus {
    if (::mkdirat(fd(), checked.c_str(), 0777) != 0) return last_os_error();
    return {};
  });
}

OsResult<UniqueFd> Directory::create_file(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::CreateFile, name, [&] {
    // O_EXCL alone already refuses a link at the name; O_NOFOLLOW says so to the reader.
    return open_at(fd(), checked, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  });
}

OsResult<UniqueFd> Directory::open_or_create_file(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::Open, name, [&]() -> OsResult<UniqueFd> {
    auto file = open_at(fd(), checked, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (!file) return std::unexpected(nofollow_error(fd(), checked, file.error().number));
    return file;
  });
}

OsResult<UniqueFd> Directory::open_for_reading(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::Open, name, [&]() -> OsResult<UniqueFd> {
    auto file = open_at(fd(), checked, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (!file) return std::unexpected(nofollow_error(fd(), checked, file.error().number));
    return file;
  });
}

OsResult<std::string> Directory::read_file(std::string_view name, std::size_t limit) const {
  VARQUIN_ASSIGN_OR_RETURN(auto file, open_for_reading(name));
  return read_open_file(file.get(), limit);
}

OsResult<struct stat> Directory::stat(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(
      FileOperation::Stat, name, [&]() -> OsResult<struct stat> {
        struct stat info {};
        if (::fstatat(fd(), checked.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
          return last_os_error();
        return info;
      });
}

OsResult<struct stat> Directory::stat_following(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(
      FileOperation::StatFollowing, name, [&]() -> OsResult<struct stat> {
        struct stat info {};
        if (::fstatat(fd(), checked.c_str(), &info, 0) != 0) return last_os_error();
        return info;
      });
}

OsStatus Directory::rename(std::string_view from, std::string_view to) const {
  VARQUIN_ASSIGN_OR_RETURN(auto source, component(from));
  VARQUIN_ASSIGN_OR_RETURN(auto target, component(to));
  return with_fault(FileOperation::Rename, from, [&]() -> OsStatus {
    if (::renameat(fd(), source.c_str(), fd(), target.c_str()) != 0) return last_os_error();
    return {};
  });
}

OsStatus Directory::remove_file(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::Remove, name, [&]() -> OsStatus {
    if (::unlinkat(fd(), checked.c_str(), 0) != 0) return last_os_error();
    return {};
  });
}

OsStatus Directory::remove_empty_directory(std::string_view name) const {
  VARQUIN_ASSIGN_OR_RETURN(auto checked, component(name));
  return with_fault(FileOperation::Remove, name, [&]() -> OsStatus {
    if (::unlinkat(fd(), checked.c_str(), AT_REMOVEDIR) != 0) return last_os_error();
    return {};
  });
}

OsResult<std::vector<DirEntry>> Directory::list() const {
  return with_fault(FileOperation::List, path_, [&] { return list_open_directory(fd()); });
}

OsResult<std::vector<DirEntry>> list_open_directory(int fd) {
  // fdopendir takes the descriptor it is given; a duplicate leaves ours open.
  int listing_fd = ::dup(fd);
  if (listing_fd < 0) return last_os_error();
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    int error = errno;
    ::close(listing_fd);
    return os_error(error);
  }
  // The duplicate shares the offset of a descriptor that may have been listed before.
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
      if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        item.kind = entry_kind_of(info.st_mode);
      } else {
        item.error = OsError{errno};
      }
    }
    entries.push_back(std::move(item));
  }
}
}  // namespace varquin::platform
