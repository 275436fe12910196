// An owned file descriptor, closed when it goes out of scope, and the calls made on an open one.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/os_error.h"

namespace varquin::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset();

 private:
  int fd_ = -1;
};

// Writes every byte, retrying short writes and EINTR.
OsStatus write_all(int fd, std::span<const std::uint8_t> bytes);

// Reads until `buffer` is full or input ends; returns the count read.
OsResult<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer);

// One read call (retried on EINTR); 0 means end of input.
OsResult<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer);

OsStatus seek_to_start(int fd);

// Largest file `read_open_file` (and what reads through it) accepts when not told otherwise.
inline constexpr std::size_t kDefaultReadLimit = 1'048'576;

// The whole regular file open at `fd`, when it holds at most `limit` bytes: EISDIR for a
// directory, EINVAL for anything else that is not a regular file, EFBIG past the limit.
// `metadata`, when given, receives what the descriptor's fstat found.
OsResult<std::string> read_open_file(int fd, std::size_t limit = kDefaultReadLimit,
                                     struct stat* metadata = nullptr);

OsResult<struct stat> stat_fd(int fd);

// Clears O_NONBLOCK again after a non-blocking open.
OsStatus set_blocking(int fd);

// Makes the file's data durable on stable storage (F_FULLFSYNC on Apple platforms).
OsStatus full_sync(int fd);
// `strong(fd)` (F_FULLFSYNC), repeated when interrupted, falling back to fsync on a volume that
// does not support it; what `full_sync` does on Apple platforms, open to tests everywhere.
OsStatus full_sync_using(int fd, int (*strong)(int fd));

// Advisory whole-file lock, never waiting.
OsStatus try_lock_exclusive(int fd);
OsStatus unlock(int fd);

// Asks for a pipe buffer of `bytes` (Linux; elsewhere, or for anything but a pipe, nothing
// happens): a 1 MiB frame then crosses in a few reads instead of sixteen. Best effort.
void widen_pipe(int fd, int bytes);

}  // namespace varquin::platform
