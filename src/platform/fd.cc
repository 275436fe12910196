#include "platform/fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "platform/fault.h"

namespace varquin::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

OsStatus write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

OsResult<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer) {
  if (auto fault = injected_fault(FileOperation::Read, {})) return os_error(fault->error);
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return last_os_error();
  }
}

OsResult<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer) {
  std::size_t total = 0;
  while (total < buffer.size()) {
    VARQUIN_ASSIGN_OR_RETURN(auto got, read_some(fd, buffer.subspan(total)));
    if (got == 0) break;
    total += got;
  }
  return total;
}

OsStatus seek_to_start(int fd) {
  if (::lseek(fd, 0, SEEK_SET) < 0) return last_os_error();
  return {};
}

OsResult<std::string> read_open_file(int fd, std::size_t limit, struct stat* metadata) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return last_os_error();
  if (metadata != nullptr) *metadata = info;
  if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(info.st_mode)) return os_error(EINVAL);
  // Checked before reading (a sparse terabyte costs nothing) and again while reading (the file may
  // grow).
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > limit) return os_error(EFBIG);
  std::string content;
  content.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    VARQUIN_ASSIGN_OR_RETURN(auto got, read_some(fd, buffer));
    if (got == 0) return content;
    if (content.size() + got > limit) return os_error(EFBIG);
    content.append(reinterpret_cast<const char*>(buffer), got);
  }
}

OsResult<struct stat> stat_fd(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return last_os_error();
  return info;
}

OsStatus set_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return last_os_error();
  return {};
}

OsStatus try_lock_exclusive(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return last_os_error();
  return {};
}

OsStatus unlock(int fd) {
  if (::flock(fd, LOCK_UN) != 0) return last_os_error();
  return {};
}

void widen_pipe([[maybe_unused]] int fd, [[maybe_unused]] int bytes) {
#if defined(__linux__) && defined(F_SETPIPE_SZ)
  // Fails on anything but a pipe, or past /proc/sys/fs/pipe-max-size: the default stays then.
  (void)::fcntl(fd, F_SETPIPE_SZ, bytes);
#endif
}

}  // namespace varquin::platform
