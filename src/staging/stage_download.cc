#include "staging/stage_download.h"

#include <sys/stat.h>

#include <optional>

#include "platform/copy.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "staging/attachment_name.h"
#include "staging/errors.h"
#include "staging/file_digest.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/race.h"
#include "staging/request_id.h"
#include "staging/transaction.h"
#include "util/nfc.h"
#include "util/path.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

constexpr std::string_view kCopyFailure = "Unable to stage browser import file: ";

std::unexpected<BridgeError> refused(std::string_view message) {
  return fail(std::string(message), ErrorCode::InvalidFile);
}

std::unexpected<BridgeError> too_large() {
  return fail(std::string(kTooLargeMessage), ErrorCode::FileTooLarge);
}

// Phase one's digest. The byte count is capped again here: the file may grow after its size was
// taken.
Result<std::string> digest_source(const ValidatedSource& source) {
  constexpr Prefixed kReadFailure = invalid_file("Unable to read browser import file: ");
  VARQUIN_RETURN_IF_ERROR(platform::seek_to_start(source.file.get()), kReadFailure);
  VARQUIN_ASSIGN_OR_RETURN(auto digest, digest_to_end(source.file.get(), kAttachmentLimitBytes),
                           kReadFailure);
  if (digest.beyond_limit) return too_large();
  VARQUIN_RETURN_IF_ERROR(platform::seek_to_start(source.file.get()),
                          invalid_file("Unable to rewind browser import file: "));
  return std::move(digest.sha256);
}

std::unexpected<BridgeError> changed() {
  return fail(kCopyFailure, "the file changed while it was being staged", ErrorCode::StagingFailed);
}

// Reads `fd` to its end through one buffer, writing each chunk on to `sink` when there is one,
// and proves that what passed is the source as hashed: no more bytes than it had, and the same
// count and digest at the end.
Status pass_and_check(int fd, const ValidatedSource& source, std::string_view sha256,
                      std::optional<int> sink) {
  VARQUIN_ASSIGN_OR_RETURN(auto digest, digest_to_end(fd, source.size_bytes, sink),
                           staging_failed(kCopyFailure));
  if (digest.beyond_limit || digest.bytes != source.size_bytes || digest.sha256 != sha256) {
    return changed();
  }
  return {};
}

// A clone carries no bytes through this process, so the staged copy itself is read back and
// hashed: what the manifest describes is then what the stage holds.
Status verify_clone(const ValidatedSource& source, std::string_view sha256,
                    const StagedFile& staged) {
  VARQUIN_ASSIGN_OR_RETURN(auto copy, staged.directory.open_for_reading(staged.name),
                           staging_failed(kCopyFailure));
  return pass_and_check(copy.get(), source, sha256, std::nullopt);
}

// Copies the source into the staged file and proves that what was copied is what was hashed:
// the manifest must describe the bytes in the stage, not the file as it was a moment earlier.
// Where the file system can clone, the copy shares the source's blocks instead of rewriting them.
Status copy_source(const ValidatedSource& source, std::string_view sha256, StagedFile& staged) {
  VARQUIN_RETURN_IF_ERROR(platform::seek_to_start(source.file.get()),
                          staging_failed("Unable to rewind source file: "));
  VARQUIN_ASSIGN_OR_RETURN(
      const bool cloned,
      platform::clone_file(source.file.get(), staged.fd, staged.directory, staged.name),
      staging_failed(kCopyFailure));
  VARQUIN_RETURN_IF_ERROR(cloned
                              ? verify_clone(source, sha256, staged)
                              : pass_and_check(source.file.get(), source, sha256, staged.fd.get()));
  VARQUIN_RETURN_IF_ERROR(platform::full_sync(staged.fd.get()), staging_failed(kCopyFailure));
  return {};
}

// Opens the resolved file again, walking from "/" without following any link, and proves that it
// is the file the request named: the path as sent, walked the same way, must reach the same
// directory and the same file. So a link swapped in or out since the checks can neither lead the
// open elsewhere (a look-alike "Varquin Inbox/<id>" included) nor make the resolved path describe
// another file than the one opened. Non-blocking, so that a FIFO planted there cannot hold the
// open until a writer comes.
Result<platform::UniqueFd> open_checked(const util::ParsedPath& named,
                                        const util::ParsedPath& resolved) {
  constexpr Prefixed kFailure = invalid_file("Unable to open browser import file: ");
  // Both have a name and a parent: the checks before proved it.
  const std::string_view resolved_name = *resolved.file_name();
  const std::string_view named_name = *named.file_name();
  VARQUIN_ASSIGN_OR_RETURN(auto directory, platform::Directory::open(resolved.parent()->joined()),
                           kFailure);
  VARQUIN_ASSIGN_OR_RETURN(auto named_directory,
                           platform::Directory::open(named.parent()->joined()), kFailure);
  VARQUIN_ASSIGN_OR_RETURN(auto file, directory.open_for_reading(resolved_name), kFailure);

  VARQUIN_ASSIGN_OR_RETURN(const platform::FileIdentity here, directory.identity(), kFailure);
  VARQUIN_ASSIGN_OR_RETURN(const platform::FileIdentity there, named_directory.identity(),
                           kFailure);
  VARQUIN_ASSIGN_OR_RETURN(const platform::FileIdentity opened,
                           platform::identity_of_fd(file.get()), kFailure);
  auto as_named = named_directory.stat(named_name);
  if (!as_named && as_named.error().environmental()) return kFailure(as_named.error());
  if (!as_named || here != there || opened != platform::identity_of(*as_named)) {
    return fail(kFailure.prefix, "the path changed while it was being checked",
                ErrorCode::InvalidFile);
  }
  return file;
}

// The path as sent: absolute, directly inside this request's managed directory, no link anywhere.
Status check_named_path(const util::ParsedPath& named, std::string_view request_id) {
  if (!named.absolute()) return refused("The browser import path must be absolute");
  const std::optional<util::ParsedPath> parent = named.parent();
  if (!parent) return refused("The browser import path has no parent");
  if (!has_managed_request_segments(*parent, request_id)) {
    return refused("The browser import path is outside its managed request directory");
  }
  VARQUIN_RETURN_IF_ERROR(reject_symlink_or_reparse_components(named));
  return {};
}

// The file is named as the attachment, in any Unicode composition.
Status check_file_name(const util::ParsedPath& named, std::string_view normalized_name) {
  const std::optional<std::string_view> on_disk = named.file_name();
  if (!on_disk || !util::is_valid_utf8(*on_disk)) {
    return refused("The browser import filename is not valid UTF-8");
  }
  // The browser may store the name decomposed; only its composed form has to match.
  if (util::to_nfc(*on_disk) != normalized_name) {
    return refused("The browser import filename does not match the selected attachment");
  }
  return {};
}

}  // namespace

Result<ValidatedSource> validate_source(const std::string& file_path,
                                        std::string_view original_name,
                                        std::string_view request_id) {
  const util::ParsedPath named(file_path);
  VARQUIN_RETURN_IF_ERROR(check_named_path(named, request_id));
  VARQUIN_ASSIGN_OR_RETURN(std::string name, normalize_original_name(original_name));
  VARQUIN_RETURN_IF_ERROR(check_file_name(named, name));

  race_point(RacePoint::BrowserFileResolve);
  VARQUIN_ASSIGN_OR_RETURN(const std::string resolved_text, platform::real_path(file_path),
                           invalid_file("Unable to resolve browser import path: "));
  const util::ParsedPath resolved(resolved_text);
  const std::optional<util::ParsedPath> resolved_parent = resolved.parent();
  if (!resolved_parent) return refused("The resolved browser import path has no parent");
  if (!has_managed_request_segments(*resolved_parent, request_id)) {
    return refused("The resolved browser import path escaped its managed request directory");
  }

  race_point(RacePoint::BrowserFileOpen);
  VARQUIN_ASSIGN_OR_RETURN(auto file, open_checked(named, resolved));
  VARQUIN_ASSIGN_OR_RETURN(const struct stat info, platform::stat_fd(file.get()),
                           invalid_file("Unable to inspect browser import file: "));
  // A second link could name a file from outside the managed directory.
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
    return refused("The browser import source is not a regular file");
  }
  VARQUIN_RETURN_IF_ERROR(platform::set_blocking(file.get()),
                          invalid_file("Unable to open browser import file: "));
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > kAttachmentLimitBytes) return too_large();
  return ValidatedSource{resolved.text(), std::move(name), size, std::move(file)};
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
