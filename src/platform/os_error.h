// Operating-system failures as values, and their text in the bridge's message form.
#pragma once

#include <cerrno>
#include <expected>
#include <string>

#include "base/result.h"

namespace varquin::platform {

struct OsError {
  int number;
  // The system's text for the error, then " (os error N)".
  std::string text() const;
  // Whether the failure is the environment's, not a verdict on what was asked: the device or the
  // volume failed or is full, the system ran out of something, or the moment was wrong (EIO,
  // ENOSPC, EDQUOT, ENOMEM, ENFILE, EMFILE, ESTALE, EAGAIN, EINTR, ...). Such a failure says
  // nothing about the request or the stored data, and the same request may succeed later. The one
  // place the bridge draws that line.
  bool environmental() const;
};

// Only these mean that the thing looked for is not there: an absent entry, or an absent directory
// on the way to it. Any other failure to look is no answer at all.
inline bool means_absent(const OsError& error) {
  return error.number == ENOENT || error.number == ENOTDIR;
}

template <typename T>
using OsResult = base::Expected<T, OsError>;
using OsStatus = base::Expected<void, OsError>;

inline std::unexpected<OsError> last_os_error() {
  return std::unexpected(OsError{errno});
}
inline std::unexpected<OsError> os_error(int number) {
  return std::unexpected(OsError{number});
}

// True when a non-blocking lock attempt failed only because another holder has it.
bool is_would_block(const OsError& error);

}  // namespace varquin::platform
