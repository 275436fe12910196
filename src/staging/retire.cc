#include "staging/retire.h"

#include <sys/stat.h>

#include "platform/tree.h"
#include "staging/errors.h"
#include "staging/paths.h"
#include "staging/race.h"

namespace varquin::staging {

Result<std::optional<std::string>> rename_retired(const platform::Directory& imports_root,
                                                  std::string_view name,
                                                  std::string_view request_id,
                                                  platform::FileIdentity expected,
                                                  std::string_view failure_prefix) {
  VARQUIN_ASSIGN_OR_RETURN(auto retired, new_retired_name(request_id));
  race_point(RacePoint::StageRetire);
  if (auto renamed = imports_root.rename(name, retired); !renamed) {
    if (platform::means_absent(renamed.error())) return std::optional<std::string>();
    return staging_failed(failure_prefix)(renamed.error());
  }
  auto moved = imports_root.stat(retired);
  if (!moved || platform::identity_of(*moved) != expected) {
    (void)imports_root.rename(retired, name);
    return fail(failure_prefix, "the stage was replaced while it was being removed",
                ErrorCode::StagingFailed);
  }
  return std::optional<std::string>(std::move(retired));
}

platform::OsStatus remove_retired(const platform::Directory& imports_root, std::string_view name) {
  auto removed = platform::remove_tree(imports_root, name);
  if (!removed && platform::means_absent(removed.error())) return {};
  return removed;
}

}  // namespace varquin::staging
