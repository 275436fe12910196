// Staging uploaded bytes, the attachment-name rule, and rolling back a stage just created.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "platform/directory.h"

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

// NFC; 1 to 255 bytes; no control characters, "/" or "\"; extension csv, dta or xlsx (any case).
Result<std::string> normalize_original_name(std::string_view name);

Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes);

// The same, for a caller that has already hashed the bytes (the upload session hashes each chunk
// as it arrives): `sha256` must be the digest of `bytes` as 64 lower-case hexadecimal digits.
Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes, std::string_view sha256);

// Removes the stage directory of an outcome that created it; anything else is left alone.
Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome);

}  // namespace varquin::staging
