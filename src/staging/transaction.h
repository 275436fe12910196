// The staging transaction both roads share: from the store roots to the published stage; and its
// inverse, the removal of a stage a failed launch leaves.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "staging/store.h"

namespace varquin::staging {

// The new staged file in the incoming directory, open for writing only.
struct StagedFile {
  platform::UniqueFd& fd;                // a filler may replace it by one open on the same file
  const platform::Directory& directory;  // the incoming directory, held open
  std::string_view name;
};

// Writes the content into the new staged file and makes it durable.
using FillStagedFile = std::function<Status(StagedFile& staged)>;

// Creates the roots (refusing links in their paths) and builds the new stage in an incoming
// directory (filled by `fill`, plus the manifest), before the lock; then, holding the lock only to
// decide: expires old entries and takes the census in one pass, answers from a terminal record or
// an existing stage, checks capacity, and publishes the stage by one rename. A request the store
// may already answer is decided under the lock before anything is built. Everything after the
// roots works relative to them by descriptor; a failed build leaves no incoming directory behind.
Result<StageOutcome> run_staging_transaction(const BridgeConfig& config,
                                             const StageRequest& request,
                                             const FillStagedFile& fill);

// Removes the stage directory of an outcome that created it; anything else is left alone.
Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome);

}  // namespace varquin::staging
