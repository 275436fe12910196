#include "platform/random.h"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

namespace varquin::platform {

OsResult<std::array<std::uint8_t, 16>> random_bytes_16() {
  std::array<std::uint8_t, 16> bytes{};
  if (::getentropy(bytes.data(), bytes.size()) != 0) return last_os_error();
  return bytes;
}

}  // namespace varquin::platform
