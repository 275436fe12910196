#include "staging/file_digest.h"

#include <span>
#include <vector>

#include "platform/fd.h"
#include "util/sha256.h"

namespace varquin::staging {

namespace {

constexpr std::size_t kChunkBytes = 65'536;

}  // namespace

platform::OsResult<FileDigest> digest_to_end(int fd, std::uint64_t limit, std::optional<int> sink) {
  std::vector<std::uint8_t> buffer(kChunkBytes);
  util::Sha256 hasher;
  FileDigest digest;
  for (;;) {
    VARQUIN_ASSIGN_OR_RETURN(const std::size_t got, platform::read_some(fd, buffer));
    if (got == 0) break;
    const std::span<const std::uint8_t> chunk(buffer.data(), got);
    digest.bytes += got;
    if (digest.bytes > limit) {
      digest.beyond_limit = true;
      return digest;
    }
    hasher.update(chunk);
    if (sink) VARQUIN_RETURN_IF_ERROR(platform::write_all(*sink, chunk));
  }
  digest.sha256 = hasher.finish_hex();
  return digest;
}

}  // namespace varquin::staging
