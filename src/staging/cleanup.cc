#include "staging/cleanup.h"

#include <sys/stat.h>

#include "platform/directory.h"
#include "platform/path.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/race.h"
#include "staging/request_id.h"
#include "util/path.h"

namespace varquin::staging {

namespace {

constexpr std::string_view kInspectFailure = "Unable to inspect cleanup directory: ";

std::unexpected<BridgeError> inspect_failure(const platform::OsError& error) {
  return fail(kInspectFailure, error.text(), ErrorCode::InvalidFile);
}

// The container goes too once its last request directory is gone. Best effort: another request
// may be downloading into it, in which case rmdir on a non-empty directory simply fails.
void remove_container_if_empty(const platform::Directory& above,
                               const platform::Directory& container) {
  auto entries = container.list();
  if (!entries || !entries->empty()) return;
  (void)above.remove_empty_directory(kManagedContainerName);
}

// Removes the empty request directory named by the request, reached again from "/" without
// following any link: "Varquin Inbox" is held open and the directory removed relative to it, so a
// path that changed after the checks (an ancestor swapped for a link to a look-alike
// "Varquin Inbox/<id>", say) cannot lead the removal anywhere else. The path's last two components
// are those names, as the checks required; any "." or ".." before them is walked physically.
Status remove_request_directory(const std::string& path, std::string_view request_id) {
  auto container_path = util::parent_path(path);
  auto above_path = container_path ? util::parent_path(*container_path) : std::nullopt;
  if (!above_path) return inspect_failure(platform::OsError{ENOENT});
  auto above = platform::Directory::open(*above_path);
  if (!above) return inspect_failure(above.error());
  auto container = above->open_directory(kManagedContainerName);
  if (!container) return inspect_failure(container.error());
  auto request_directory = container->open_directory(request_id);
  if (!request_directory) return inspect_failure(request_directory.error());

  // Directories only: any entry, even one that cannot be typed, means the user still has a file
  // there, and this operation never deletes files.
  auto entries = request_directory->list();
  if (!entries) return inspect_failure(entries.error());
  if (!entries->empty()) {
    return fail("The managed browser download directory is not empty", ErrorCode::CleanupFailed);
  }
  if (auto removed = container->remove_empty_directory(request_id); !removed) {
    return fail("Unable to remove managed browser download directory: ", removed.error().text(),
                ErrorCode::CleanupFailed);
  }
  remove_container_if_empty(*above, *container);
  return {};
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
  // Only a directory that is not there means there is nothing to clean, so a repeat succeeds. One
  // that cannot be looked at may still be there: that is no success.
  if (auto info = platform::stat_path(request_directory_path); !info) {
    const int error = info.error().number;
    if (error == ENOENT || error == ENOTDIR) return {};
    return inspect_failure(info.error());
  }
  if (auto no_links = reject_symlink_or_reparse_components(request_directory_path); !no_links) {
    return no_links;
  }

  race_point(RacePoint::CleanupResolve);
  auto canonical = platform::real_path(request_directory_path);
  if (!canonical) {
    return fail("Unable to resolve cleanup path: ", canonical.error().text(),
                ErrorCode::InvalidFile);
  }
  auto info = platform::stat_path(*canonical);
  if (!has_managed_request_segments(*canonical, request_id) || !info || !S_ISDIR(info->st_mode)) {
    return fail("The cleanup target is not a managed request directory", ErrorCode::InvalidFile);
  }
  race_point(RacePoint::CleanupRemove);
  return remove_request_directory(request_directory_path, request_id);
}

}  // namespace varquin::staging
