#include "staging/stage_download.h"

#include <sys/stat.h>

#include <optional>
#include <vector>

#include "platform/copy.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "staging/attachment_name.h"
#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/race.h"
#include "staging/request_id.h"
#include "staging/transaction.h"
#include "util/nfc.h"
#include "util/path.h"
#include "util/sha256.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

constexpr std::size_t kChunkBytes = 65'536;

std::unexpected<BridgeError> invalid_file(std::string_view message) {
  return fail(std::string(message), ErrorCode::InvalidFile);
}

std::unexpected<BridgeError> invalid_file(std::string_view prefix, const platform::OsError& e) {
  return fail(prefix, e.text(), ErrorCode::InvalidFile);
}

std::unexpected<BridgeError> copy_failure(std::string_view detail) {
  return fail("Unable to stage browser import file: ", detail, ErrorCode::StagingFailed);
}

// Reads a file to its end through one fixed buffer, hashing every chunk it hands out, so that a
// file is never held in memory as a whole.
class HashingReader {
 public:
  explicit HashingReader(int fd) : fd_(fd), buffer_(kChunkBytes) {}

  // The next chunk; empty at the end of the file.
  platform::OsResult<std::span<const std::uint8_t>> next() {
    VARQUIN_ASSIGN_OR_RETURN(auto got, platform::read_some(fd_, buffer_));
    std::span<const std::uint8_t> chunk(buffer_.data(), got);
    total_ += got;
    hasher_.update(chunk);
    return chunk;
  }

  std::uint64_t total() const { return total_; }
  std::string finish_hex() { return hasher_.finish_hex(); }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  util::Sha256 hasher_;
  std::uint64_t total_ = 0;
};

// Phase one's digest. The byte count is capped again here: the file may grow after its size was
// taken.
Result<std::string> digest_source(const ValidatedSource& source) {
  constexpr std::string_view kReadFailure = "Unable to read browser import file: ";
  if (auto rewound = platform::seek_to_start(source.file.get()); !rewound) {
    return invalid_file(kReadFailure, rewound.error());
  }
  HashingReader reader(source.file.get());
  for (;;) {
    auto chunk = reader.next();
    if (!chunk) return invalid_file(kReadFailure, chunk.error());
    if (chunk->empty()) break;
    if (reader.total() > kAttachmentLimitBytes) {
      return fail(std::string(kTooLargeMessage), ErrorCode::FileTooLarge);
    }
  }
  if (auto rewound = platform::seek_to_start(source.file.get()); !rewound) {
    return invalid_file("Unable to rewind browser import file: ", rewound.error());
  }
  return reader.finish_hex();
}

constexpr std::string_view kChanged = "the file changed while it was being staged";

// Reads `fd` to its end through one buffer, writing each chunk on to `sink` when there is one,
// and proves that what passed is the source as hashed: no more bytes than it had, and the same
// count and digest at the end.
Status pass_and_check(int fd, const ValidatedSource& source, std::string_view sha256,
                      std::optional<int> sink) {
  HashingReader reader(fd);
  for (;;) {
    auto chunk = reader.next();
    if (!chunk) return copy_failure(chunk.error().text());
    if (chunk->empty()) break;
    if (reader.total() > source.size_bytes) return copy_failure(kChanged);
    if (!sink) continue;
    if (auto written = platform::write_all(*sink, *chunk); !written) {
      return copy_failure(written.error().text());
    }
  }
  if (reader.total() != source.size_bytes || reader.finish_hex() != sha256) {
    return copy_failure(kChanged);
  }
  return {};
}

// A clone carries no bytes through this process, so the staged copy itself is read back and
// hashed: what the manifest describes is then what the stage holds.
Status verify_clone(const ValidatedSource& source, std::string_view sha256,
                    const StagedFile& staged) {
  auto copy = staged.directory.open_for_reading(staged.name);
  if (!copy) return copy_failure(copy.error().text());
  return pass_and_check(copy->get(), source, sha256, std::nullopt);
}

// Copies the source into the staged file and proves that what was copied is what was hashed:
// the manifest must describe the bytes in the stage, not the file as it was a moment earlier.
// Where the file system can clone, the copy shares the source's blocks instead of rewriting them.
Status copy_source(const ValidatedSource& source, std::string_view sha256, StagedFile& staged) {
  if (auto rewound = platform::seek_to_start(source.file.get()); !rewound) {
    return staging_failure("Unable to rewind source file: ", rewound.error());
  }
  auto cloned = platform::clone_file(source.file.get(), staged.fd, staged.directory, staged.name);
  if (!cloned) return copy_failure(cloned.error().text());
  auto copied = *cloned ? verify_clone(source, sha256, staged)
                        : pass_and_check(source.file.get(), source, sha256, staged.fd.get());
  if (!copied) return copied;
  if (auto synced = platform::full_sync(staged.fd.get()); !synced) {
    return copy_failure(synced.error().text());
  }
  return {};
}

// Opens the resolved file again, walking from "/" without following any link, and proves that it
// is the file the request named: the path as sent, walked the same way, must reach the same
// directory and the same file. So a link swapped in or out since the checks can neither lead the
// open elsewhere (a look-alike "Varquin Inbox/<id>" included) nor make the resolved path describe
// another file than the one opened. Non-blocking, so that a FIFO planted there cannot hold the
// open until a writer comes.
Result<platform::UniqueFd> open_checked(const std::string& file_path, const std::string& resolved,
                                        const std::string& resolved_parent) {
  constexpr std::string_view kFailure = "Unable to open browser import file: ";
  auto resolved_name = util::file_name(resolved);
  auto named_name = util::file_name(file_path);
  auto named_parent = util::parent_path(file_path);
  if (!resolved_name || !named_name || !named_parent) {
    return invalid_file(kFailure, platform::OsError{EISDIR});
  }
  auto directory = platform::Directory::open(resolved_parent);
  if (!directory) return invalid_file(kFailure, directory.error());
  auto named = platform::Directory::open(*named_parent);
  if (!named) return invalid_file(kFailure, named.error());
  auto file = directory->open_for_reading(*resolved_name);
  if (!file) return invalid_file(kFailure, file.error());

  auto here = directory->identity();
  auto there = named->identity();
  auto opened = platform::stat_fd(file->get());
  auto as_named = named->stat(*named_name);
  if (!here || !there || !opened || !as_named || *here != *there ||
      platform::identity_of(*opened) != platform::identity_of(*as_named)) {
    return fail(kFailure, "the path changed while it was being checked", ErrorCode::InvalidFile);
  }
  return std::move(*file);
}

}  // namespace

Result<ValidatedSource> validate_source(const std::string& file_path,
                                        std::string_view original_name,
                                        std::string_view request_id) {
  if (!util::is_absolute(file_path))
    return invalid_file("The browser import path must be absolute");
  auto parent = util::parent_path(file_path);
  if (!parent) return invalid_file("The browser import path has no parent");
  if (!has_managed_request_segments(*parent, request_id)) {
    return invalid_file("The browser import path is outside its managed request directory");
  }
  VARQUIN_RETURN_IF_ERROR(reject_symlink_or_reparse_components(file_path));
  VARQUIN_ASSIGN_OR_RETURN(auto name, normalize_original_name(original_name));
  auto on_disk = util::file_name(file_path);
  if (!on_disk || !util::is_valid_utf8(*on_disk)) {
    return invalid_file("The browser import filename is not valid UTF-8");
  }
  // The browser may store the name decomposed; only its composed form has to match.
  if (util::to_nfc(*on_disk) != name) {
    return invalid_file("The browser import filename does not match the selected attachment");
  }

  race_point(RacePoint::BrowserFileResolve);
  auto resolved = platform::real_path(file_path);
  if (!resolved) return invalid_file("Unable to resolve browser import path: ", resolved.error());
  auto resolved_parent = util::parent_path(*resolved);
  if (!resolved_parent) return invalid_file("The resolved browser import path has no parent");
  if (!has_managed_request_segments(*resolved_parent, request_id)) {
    return invalid_file("The resolved browser import path escaped its managed request directory");
  }

  race_point(RacePoint::BrowserFileOpen);
  VARQUIN_ASSIGN_OR_RETURN(auto file, open_checked(file_path, *resolved, *resolved_parent));
  auto info = platform::stat_fd(file.get());
  if (!info) return invalid_file("Unable to inspect browser import file: ", info.error());
  // A second link could name a file from outside the managed directory.
  if (!S_ISREG(info->st_mode) || info->st_nlink != 1) {
    return invalid_file("The browser import source is not a regular file");
  }
  if (auto blocking = platform::set_blocking(file.get()); !blocking) {
    return invalid_file("Unable to open browser import file: ", blocking.error());
  }
  const auto size = static_cast<std::uint64_t>(info->st_size);
  if (size > kAttachmentLimitBytes) {
    return fail(std::string(kTooLargeMessage), ErrorCode::FileTooLarge);
  }
  return ValidatedSource{std::move(*resolved), std::move(name), size, std::move(file)};
}

Result<StageOutcome> stage_download(const BridgeConfig& config, std::string_view request_id,
                                    const std::string& file_path, std::string_view original_name) {
  VARQUIN_RETURN_IF_ERROR(validate_request_id(request_id));
  // Declared before the transaction takes the lock, so the source is closed after its release.
  VARQUIN_ASSIGN_OR_RETURN(auto source, validate_source(file_path, original_name, request_id));
  VARQUIN_ASSIGN_OR_RETURN(auto sha256, digest_source(source));
  race_point(RacePoint::BrowserFileHashed);

  const StageRequest request{
      .request_id = request_id,
      .original_name = source.original_name,
      .size_bytes = source.size_bytes,
      .sha256 = sha256,
      .source_path = source.resolved_path,
      .reuse_rule = ReuseRule::ManifestFile,
  };
  return run_staging_transaction(
      config, request, [&](StagedFile& staged) { return copy_source(source, sha256, staged); });
}

}  // namespace varquin::staging
