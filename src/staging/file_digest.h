// Reading a file to its end through one fixed buffer while hashing it, so that a file is never held
// in memory as a whole: the browser's file when it is measured and copied, a staged file when it
// is checked against its manifest.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "util/sha256.h"

namespace varquin::staging {

class HashingReader {
 public:
  explicit HashingReader(int fd);

  // The next chunk, already hashed; empty at the end of the file.
  platform::OsResult<std::span<const std::uint8_t>> next();

  std::uint64_t total() const { return total_; }
  std::string finish_hex() { return hasher_.finish_hex(); }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  util::Sha256 hasher_;
  std::uint64_t total_ = 0;
};

}  // namespace varquin::staging
