#include "staging/retire.h"

#include <sys/stat.h>

#include "platform/tree.h"
#include "staging/errors.h"
#include "staging/paths.h"
#include "staging/race.h"

namespace varquin::staging {

Result<std::string> rename_retired(const platform::Directory& imports_root, std::string_view name,
                                   std::string_view request_id, platform::FileIdentity expected,
                                   std::string_view failure_prefix) {
  VARQUIN_ASSIGN_OR_RETURN(auto retired, new_retired_name(request_id));
  race_point(RacePoint::StageRetire);
  VARQUIN_RETURN_IF_ERROR(imports_root.rename(name, retired), staging_failed(failure_prefix));
  auto moved = imports_root.stat(retired);
  if (!moved || platform::identity_of(*moved) != expected) {
    (void)imports_root.rename(retired, name);
    return fail(failure_prefix, "the stage was replaced while it was being removed",
                ErrorCode::StagingFailed);
  }
  return retired;
}

platform::OsStatus remove_retired(const platform::Directory& imports_root, std::string_view name) {
  auto removed = platform::remove_tree(imports_root, name);
  if (!removed && platform::means_absent(removed.error())) return {};
  return removed;
}

Status retire_stage(const platform::Directory& imports_root, std::string_view request_id,
                    std::optional<platform::FileIdentity> expected,
                    std::string_view failure_prefix) {
  const Prefixed failure = staging_failed(failure_prefix);
  if (!expected) {
    VARQUIN_ASSIGN_OR_RETURN(const struct stat found, imports_root.stat(request_id), failure);
    expected = platform::identity_of(found);
  }
  VARQUIN_ASSIGN_OR_RETURN(auto retired, rename_retired(imports_root, request_id, request_id,
                                                        *expected, failure_prefix));
  VARQUIN_RETURN_IF_ERROR(remove_retired(imports_root, retired), failure);
  return {};
}

}  // namespace varquin::staging
