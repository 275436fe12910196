// Reading a file to its end through one fixed buffer while hashing it, so that a file is never held
// in memory as a whole: the browser's file when it is measured and copied, a staged file when it
// is checked against its manifest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/os_error.h"

namespace varquin::staging {

struct FileDigest {
  std::uint64_t bytes = 0;    // read before the end, or before passing the limit
  bool beyond_limit = false;  // more than the limit: reading stopped there, no digest taken
  std::string sha256;         // lower-case hexadecimal, when within the limit
};

// Reads `fd` from where it stands to its end, hashing every byte and writing each chunk on to
// `sink` when there is one; stops as soon as more than `limit` bytes have passed.
platform::OsResult<FileDigest> digest_to_end(int fd, std::uint64_t limit,
                                             std::optional<int> sink = std::nullopt);

}  // namespace varquin::staging
