#include "platform/clock.h"

#include <time.h>

#include <thread>

namespace varquin::platform {

WallTime utc_now() {
  // clock_gettime rather than system_clock: libc++'s system_clock stops at microseconds.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return WallTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

void sleep_for(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace varquin::platform
