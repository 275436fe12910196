// Wall clock with nanoseconds (the manifest's createdAt needs them), monotonic clock and sleep.
#pragma once

#include <chrono>
#include <cstdint>

namespace varquin::platform {

struct WallTime {
  std::int64_t seconds;       // since the Unix epoch, UTC
  std::uint32_t nanoseconds;  // 0 to 999,999,999
};

WallTime utc_now();

using MonotonicClock = std::chrono::steady_clock;

void sleep_for(std::chrono::milliseconds duration);

}  // namespace varquin::platform
