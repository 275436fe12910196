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

bool is_valid_incoming_directory(const platform::Directory& root, std::string_view name) {
  if (!util::is_valid_utf8(name)) return false;
  if (name.size() != 79 || !name.starts_with(kIncomingPrefix)) return false;
  if (name[46] != '-') return false;
  if (check_request_id(name.substr(10, 36)) != RequestIdFault::None) return false;
  for (char c : name.substr(47, 32)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  auto info = root.stat(name);
  return info && S_ISDIR(info->st_mode);
}

bool has_managed_request_segments(std::string_view path, std::string_view request_id) {
  auto parts = util::path_components(path);
  if (parts.size() < 2) return false;
  return parts.back() == request_id && parts[parts.size() - 2] == kManagedContainerName;
}

Status reject_symlink_or_reparse_components(const std::string& path) {
  // Probe the lexical form: lstat of "link/" or "link/." would follow the link it should report.
  std::optional<std::string> current = path;
  if (auto name = util::file_name(path)) {
    current = util::join_path(util::parent_path(path).value_or(""), *name);
  }
  while (current) {
    // The empty parent of a relative path stands for the working directory.
    const std::string& probe = current->empty() ? std::string(".") : *current;
    auto info = platform::lstat_path(probe);
    if (!info) {
      return fail("Unable to inspect source path: ", info.error().text(), ErrorCode::InvalidFile);
    }
    if (S_ISLNK(info->st_mode)) return symlinked_path_failure();
    if (current->empty()) break;
    current = util::parent_path(*current);
  }
  return {};
}

}  // namespace varquin::staging
