// Staging uploaded bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "staging/transaction.h"

namespace varquin::staging {

Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes);

// The same, for a caller that has already hashed the bytes (the upload session hashes each chunk
// as it arrives): `sha256` must be the digest of `bytes` as 64 lower-case hexadecimal digits.
Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes, std::string_view sha256);

}  // namespace varquin::staging
