#include "staging/path_checks.h"

#include <sys/stat.h>

#include <optional>

#include "platform/path.h"
#include "staging/errors.h"
#include "staging/paths.h"
#include "staging/request_id.h"
#include "util/path.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

// `prefix` + request ID + "-" + 32 lower-case hexadecimal digits.
bool has_scratch_name(std::string_view name, std::string_view prefix) {
  if (!util::is_valid_utf8(name) || !name.starts_with(prefix)) return false;
  const std::string_view rest = name.substr(prefix.size());
  if (rest.size() != 69 || rest[36] != '-') return false;
  if (check_request_id(rest.substr(0, 36)) != RequestIdFault::None) return false;
  for (char c : rest.substr(37)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool is_incoming_name(std::string_view name) {
  return has_scratch_name(name, kIncomingPrefix);
}

bool is_valid_incoming_directory(const platform::Directory& root, std::string_view name) {
  if (!is_incoming_name(name)) return false;
  auto info = root.stat(name);
  return info && S_ISDIR(info->st_mode);
}

bool is_retired_name(std::string_view name) {
  return has_scratch_name(name, kRetiredPrefix);
}

bool has_managed_request_segments(const util::ParsedPath& path, std::string_view request_id) {
  const std::size_t count = path.size();
  return count >= 2 && path.component(count - 1) == request_id &&
         path.component(count - 2) == kManagedContainerName;
}

Status reject_symlink_or_reparse_components(const util::ParsedPath& path, Road road) {
  // Probe the lexical form: lstat of "link/" or "link/." would follow the link it should report.
  for (std::optional<util::ParsedPath> current = path; current; current = current->parent()) {
    // The empty parent of a relative path stands for the working directory.
    const std::string probe =
        current->size() == 0 && !current->absolute() ? "." : current->joined();
    VARQUIN_ASSIGN_OR_RETURN(const struct stat info, platform::lstat_path(probe),
                             invalid_file("Unable to inspect source path: ", road));
    if (S_ISLNK(info.st_mode)) return symlinked_path_failure();
  }
  return {};
}

}  // namespace varquin::staging
