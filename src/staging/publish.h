// The part of staging that uploads and downloads share: from the store roots to the published
// stage, all of it under the staging lock.
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
#include "staging/stage.h"

namespace varquin::staging {

inline constexpr std::string_view kTooLargeMessage =
    "The attachment exceeds Varquin's 64 MiB limit";

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
Result<StageOutcome> publish_stage(const BridgeConfig& config, const StageRequest& request,
                                   const FillStagedFile& fill);

}  // namespace varquin::staging
