#include "platform/memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace varquin::platform {

namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Below this a buffer is not worth a huge page's alignment.
constexpr std::size_t kHugeThreshold = 2 * kHugePageBytes;

}  // namespace

LargeBytes allocate_large_bytes(std::size_t size) {
  const std::align_val_t alignment{size >= kHugeThreshold ? kHugePageBytes
                                                          : alignof(std::max_align_t)};
  auto* bytes = static_cast<std::uint8_t*>(::operator new[](size, alignment));
#if defined(__linux__)
  // Only a hint: where the kernel declines (huge pages disabled), ordinary pages serve as before.
  if (size >= kHugeThreshold) (void)::madvise(bytes, size, MADV_HUGEPAGE);
#endif
  return LargeBytes(bytes, LargeBytesDeleter(alignment));
}

}  // namespace varquin::platform
