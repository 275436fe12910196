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
};

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
