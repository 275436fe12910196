// Staging a file the browser downloaded into a managed request directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "platform/fd.h"
#include "staging/transaction.h"

namespace varquin::staging {

// The checked, open source file.
struct ValidatedSource {
  std::string resolved_path;
  std::string original_name;  // normalised
  std::uint64_t size_bytes = 0;
  platform::UniqueFd file;
};

// Proves the path is a regular file directly inside this request's managed directory, both as
// named and as resolved, and opens it without ever blocking on a special file.
Result<ValidatedSource> validate_source(const std::string& file_path,
                                        std::string_view original_name,
                                        std::string_view request_id);

// The file is read twice: hashed without the lock, then copied under it. The copy is hashed too,
// and a file that changed in between fails with "staging_failed" instead of being staged under
// the first digest.
Result<StageOutcome> stage_download(const BridgeConfig& config, std::string_view request_id,
                                    const std::string& file_path, std::string_view original_name);

}  // namespace varquin::staging
