#include "staging/cleanup.h"

#include <sys/stat.h>

#include "platform/fs.h"
#include "staging/layout.h"
#include "util/path.h"

namespace varquin::staging {

namespace {

// The container goes too once its last request directory is gone. Best effort: another request
// may be downloading into it, in which case rmdir on a non-empty directory simply fails.
void remove_container_if_empty(const std::string& request_directory) {
  auto container = util::parent_path(request_directory);
  if (!container) return;
  auto name = util::file_name(*container);
  if (!name || *name != kManagedContainerName) return;
  auto entries = platform::list_directory(*container);
  if (!entries || !entries->empty()) return;
  (void)platform::remove_empty_directory(*container);
}

}  // namespace

Status cleanup_download_container(std::string_view request_id,
                                  const std::string& request_directory_path) {
  if (auto valid = validate_request_id(request_id); !valid) return valid;
  if (!util::is_absolute(request_directory_path) ||
      !has_managed_request_segments(request_directory_path, request_id)) {
    return fail("The cleanup path is outside the managed browser download container",
                ErrorCode::InvalidFile);
  }
  // Nothing there (or nothing we may look at): nothing to clean, so a repeat succeeds.
  if (!platform::stat_path(request_directory_path)) return {};
  if (auto no_links = reject_symlink_or_reparse_components(request_directory_path); !no_links) {
    return no_links;
  }

  auto canonical = platform::real_path(request_directory_path);
  if (!canonical) {
    return fail("Unable to resolve cleanup path: ", canonical.error().text(),
                ErrorCode::InvalidFile);
  }
  auto info = platform::stat_path(*canonical);
  if (!has_managed_request_segments(*canonical, request_id) || !info || !S_ISDIR(info->st_mode)) {
    return fail("The cleanup target is not a managed request directory", ErrorCode::InvalidFile);
  }

  // Directories only: any entry, even one that cannot be typed, means the user still has a file
  // there, and this operation never deletes files.
  auto entries = platform::list_directory(*canonical);
  if (!entries) {
    return fail("Unable to inspect cleanup directory: ", entries.error().text(),
                ErrorCode::InvalidFile);
  }
  if (!entries->empty()) {
    return fail("The managed browser download directory is not empty", ErrorCode::CleanupFailed);
  }
  if (auto removed = platform::remove_empty_directory(*canonical); !removed) {
    return fail("Unable to remove managed browser download directory: ", removed.error().text(),
                ErrorCode::CleanupFailed);
  }
  remove_container_if_empty(*canonical);
  return {};
}

}  // namespace varquin::staging
