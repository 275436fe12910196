// Large byte buffers, left uninitialised, placed so the system can back them with huge pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace varquin::platform {

class LargeBytesDeleter {
 public:
  explicit LargeBytesDeleter(
      std::align_val_t alignment = std::align_val_t{alignof(std::max_align_t)})
      : alignment_(alignment) {}
  void operator()(std::uint8_t* bytes) const noexcept { ::operator delete[](bytes, alignment_); }

 private:
  std::align_val_t alignment_;
};

using LargeBytes = std::unique_ptr<std::uint8_t[], LargeBytesDeleter>;

// `size` bytes, not zero-filled. Buffers of several megabytes are aligned to a huge page and, on
// Linux, marked for transparent huge pages: filling 64 MiB then costs tens of page faults instead
// of sixteen thousand, which in a virtual machine is most of the price of touching fresh memory.
// Like new, throws std::bad_alloc when memory runs out.
LargeBytes allocate_large_bytes(std::size_t size);

}  // namespace varquin::platform
