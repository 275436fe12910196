// The staging transaction both roads share: from the store roots to the published stage, all of it
// under the staging lock; its outcome, and its inverse, the removal of a stage.
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

namespace varquin::staging {

enum class StageKind { Staged, Reused, AlreadyFinalized };

struct StageOutcome {
  std::string request_id;
  std::optional<std::string> manifest_path;  // absent only for AlreadyFinalized
  bool created = false;                      // only a created stage may be rolled back
  StageKind kind = StageKind::Staged;
  // The directory a created stage was published as: a rollback removes that one and no other.
  std::optional<platform::FileIdentity> stage_identity;
};

// How an earlier stage of the same request ID is recognised as this request's own.
enum class ReuseRule {
  // Uploads: an existing stage directory must hold a manifest, whose filePath must be the staged
  // file path.
  StageDirectory,
  // Downloads: only an existing manifest is examined, and its staged file must not be a link.
  ManifestFile,
};

struct StageRequest {
  std::string_view request_id;     // validated
  std::string_view original_name;  // normalised; also the staged file's name
  std::uint64_t size_bytes;
  std::string_view sha256;
  // The manifest's originalSourcePath; none when the staged file is its own source (uploads).
  std::optional<std::string_view> source_path;
  ReuseRule reuse_rule;
};

// The new staged file in the incoming directory, open for writing only.
struct StagedFile {
  platform::UniqueFd& fd;                // a filler may replace it by one open on the same file
  const platform::Directory& directory;  // the incoming directory, held open
  std::string_view name;
};

// Writes the content into the new staged file and makes it durable.
using FillStagedFile = std::function<Status(StagedFile& staged)>;

// Creates the roots (refusing links in their paths), takes the lock, expires old entries, answers
// from a terminal record or an existing stage, checks capacity, then builds an incoming directory
// (filled by `fill`, plus the manifest) and publishes it by one rename. Everything after the roots
// works relative to them by descriptor. A failed build leaves no incoming directory behind.
Result<StageOutcome> run_staging_transaction(const BridgeConfig& config,
                                             const StageRequest& request,
                                             const FillStagedFile& fill);

// Removes the stage directory of an outcome that created it; anything else is left alone.
Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome);

}  // namespace varquin::staging
