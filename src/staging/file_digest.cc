#include "staging/file_digest.h"

#include "platform/fd.h"

namespace varquin::staging {

namespace {

constexpr std::size_t kChunkBytes = 65'536;

}  // namespace

HashingReader::HashingReader(int fd) : fd_(fd), buffer_(kChunkBytes) {}

platform::OsResult<std::span<const std::uint8_t>> HashingReader::next() {
  VARQUIN_ASSIGN_OR_RETURN(auto got, platform::read_some(fd_, buffer_));
  std::span<const std::uint8_t> chunk(buffer_.data(), got);
  total_ += got;
  hasher_.update(chunk);
  return chunk;
}

}  // namespace varquin::staging
