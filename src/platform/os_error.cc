#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

namespace varquin::platform {

std::string OsError::text() const {
  char buffer[256];
  // XSI strerror_r on macOS, GNU on glibc: handle both signatures.
  auto pick = [&](auto result) -> const char* {
    if constexpr (std::is_same_v<decltype(result), int>) {
      return result == 0 ? buffer : "Unknown error";
    } else {
      return result;
    }
  };
  const char* description = pick(strerror_r(number, buffer, sizeof buffer));
  return std::string(description) + " (os error " + std::to_string(number) + ")";
}

bool OsError::environmental() const {
  switch (number) {
    case EIO:
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case ENFILE:
    case EMFILE:
    case ESTALE:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case EBUSY:
    case ETIMEDOUT:
    case ENOBUFS:
    case ENOLCK:
    case EDEADLK:
    case EROFS:
    case ENXIO:
    case ENODEV:
    case ENOTCONN:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ECONNRESET:
    case ECONNABORTED:
      return true;
    default:
      return false;
  }
}

bool is_would_block(const OsError& error) {
  return error.number == EWOULDBLOCK || error.number == EAGAIN;
}

}  // namespace varquin::platform
