#include "staging/stage_check.h"

#include <sys/stat.h>

#include "platform/fd.h"
#include "platform/path.h"
#include "staging/errors.h"
#include "staging/file_digest.h"
#include "util/path.h"

namespace varquin::staging {

namespace {

constexpr std::string_view kInspectFailure = "Unable to inspect browser import stage: ";

std::unexpected<BridgeError> inspect_failure(const platform::OsError& error) {
  return staging_failed(kInspectFailure)(error);
}

// The open staged file's bytes against the manifest's count and digest, read to the end.
Result<bool> content_matches(int fd, const ImportManifest& manifest) {
  VARQUIN_ASSIGN_OR_RETURN(auto digest, digest_to_end(fd, manifest.size_bytes),
                           staging_failed(kInspectFailure));
  return !digest.beyond_limit && digest.bytes == manifest.size_bytes &&
         digest.sha256 == manifest.sha256;
}

// Whether a look (links followed) found something: absent only for ENOENT and ENOTDIR.
Result<bool> found(const platform::OsResult<struct stat>& info) {
  if (info) return true;
  if (platform::means_absent(info.error())) return false;
  if (info.error().environmental()) return inspect_failure(info.error());
  return true;
}

}  // namespace

Result<bool> entry_present(const platform::Directory& directory, std::string_view name) {
  return found(directory.stat_following(name));
}

Result<bool> path_present(const std::string& path) {
  return found(platform::stat_path(path));
}

Result<std::optional<platform::Directory>> directory_if_present(const platform::Directory& parent,
                                                                std::string_view name) {
  auto opened = parent.open_directory(name);
  if (opened) return std::optional<platform::Directory>(std::move(*opened));
  if (opened.error().environmental()) return inspect_failure(opened.error());
  return std::optional<platform::Directory>();
}

Result<bool> staged_file_intact(const platform::Directory& stage, const ImportManifest& manifest) {
  const util::ParsedPath file_path(manifest.file_path);
  const std::optional<util::ParsedPath> parent = file_path.parent();
  const std::optional<std::string_view> name = file_path.file_name();
  if (!parent || !name || !parent->same_as(util::ParsedPath(stage.path()))) return false;
  auto file = stage.open_for_reading(*name);
  if (!file) {
    if (file.error().environmental()) return inspect_failure(file.error());
    return false;  // missing, a link, or not openable: not the stage's own file
  }
  VARQUIN_ASSIGN_OR_RETURN(const struct stat info, platform::stat_fd(file->get()),
                           staging_failed(kInspectFailure));
  // A second name could be a file outside the store that changes under the stage.
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      static_cast<std::uint64_t>(info.st_size) != manifest.size_bytes) {
    return false;
  }
  VARQUIN_RETURN_IF_ERROR(platform::set_blocking(file->get()), staging_failed(kInspectFailure));
  return content_matches(file->get(), manifest);
}

}  // namespace varquin::staging
