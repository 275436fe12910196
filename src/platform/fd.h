// An owned file descriptor, closed when it goes out of scope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// Asks for a pipe buffer of `bytes` (Linux; elsewhere, or for anything but a pipe, nothing
// happens): a 1 MiB frame then crosses in a few reads instead of sixteen. Best effort.
void widen_pipe(int fd, int bytes);

}  // namespace varquin::platform
