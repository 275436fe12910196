#include "staging/cleanup.h"

#include <sys/stat.h>

#include "platform/directory.h"
#include "platform/path.h"
#include "staging/errors.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/race.h"
#include "staging/request_id.h"
#include "util/path.h"

namespace varquin::staging {

namespace {

constexpr Prefixed kInspectFailure =
    invalid_file("Unable to inspect cleanup directory: ", Road::Cleanup);

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
Status remove_request_directory(const util::ParsedPath& path, std::string_view request_id) {
  // Two components at least: the checks required them.
  const util::ParsedPath above_path = *path.parent()->parent();
  VARQUIN_ASSIGN_OR_RETURN(auto above, platform::Directory::open(above_path.joined()),
                           kInspectFailure);
  VARQUIN_ASSIGN_OR_RETURN(auto container, above.open_directory(kManagedContainerName),
                           kInspectFailure);
  VARQUIN_ASSIGN_OR_RETURN(auto request_directory, container.open_directory(request_id),
                           kInspectFailure);

  // Directories only: any entry, even one that cannot be typed, means the user still has a file
  // there, and this operation never deletes files.
  VARQUIN_ASSIGN_OR_RETURN(auto entries, request_directory.list(), kInspectFailure);
  if (!entries.empty()) {
    return fail("The managed browser download directory is not empty", ErrorCode::CleanupFailed);
  }
  VARQUIN_RETURN_IF_ERROR(
      container.remove_empty_directory(request_id),
      Prefixed{"Unable to remove managed browser download directory: ", ErrorCode::CleanupFailed});
  remove_container_if_empty(above, container);
  return {};
}

std::unexpected<BridgeError> not_managed() {
  return fail("The cleanup target is not a managed request directory", ErrorCode::InvalidFile);
}

}  // namespace

Status cleanup_download_container(std::string_view request_id,
                                  const std::string& request_directory_path) {
  VARQUIN_RETURN_IF_ERROR(validate_request_id(request_id));
  const util::ParsedPath path(request_directory_path);
  if (!path.absolute() || !has_managed_request_segments(path, request_id)) {
    return fail("The cleanup path is outside the managed browser download container",
                ErrorCode::InvalidFile);
  }
  // Only a directory that is not there means there is nothing to clean, so a repeat succeeds. One
  // that cannot be looked at may still be there: that is no success.
  if (auto info = platform::stat_path(request_directory_path); !info) {
    if (platform::means_absent(info.error())) return {};
    return kInspectFailure(info.error());
  }
  VARQUIN_RETURN_IF_ERROR(reject_symlink_or_reparse_components(path, Road::Cleanup));

  race_point(RacePoint::CleanupResolve);
  VARQUIN_ASSIGN_OR_RETURN(auto canonical, platform::real_path(request_directory_path),
                           invalid_file("Unable to resolve cleanup path: ", Road::Cleanup));
  if (!has_managed_request_segments(util::ParsedPath(canonical), request_id)) return not_managed();
  auto info = platform::stat_path(canonical);
  if (!info || !S_ISDIR(info->st_mode)) return not_managed();
  race_point(RacePoint::CleanupRemove);
  return remove_request_directory(path, request_id);
}

}  // namespace varquin::staging
