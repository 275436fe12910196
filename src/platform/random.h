#pragma once

#include <array>
#include <cstdint>

#include "platform/os_error.h"

namespace varquin::platform {

// 16 bytes from the kernel's cryptographic random source.
OsResult<std::array<std::uint8_t, 16>> random_bytes_16();

}  // namespace varquin::platform
