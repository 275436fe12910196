#include "staging/stage_bytes.h"

#include <cassert>

#include "platform/directory.h"
#include "platform/fd.h"
#include "staging/attachment_name.h"
#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/request_id.h"
#include "staging/transaction.h"
#include "util/nfc.h"
#include "util/path.h"
#include "util/sha256.h"

namespace varquin::staging {

namespace {

// Stages `bytes` under the digest the caller computed, or under one computed here when it has none.
Result<StageOutcome> stage_bytes_hashed(const BridgeConfig& config, std::string_view request_id,
                                        std::string_view attachment_name,
                                        std::span<const std::uint8_t> bytes,
                                        std::optional<std::string_view> known_sha256) {
  VARQUIN_RETURN_IF_ERROR(validate_request_id(request_id));
  VARQUIN_ASSIGN_OR_RETURN(auto name, normalize_original_name(attachment_name));
  if (bytes.size() > kAttachmentLimitBytes) {
    return fail(std::string(kTooLargeMessage), ErrorCode::FileTooLarge);
  }
  // Hashed before the lock so that the lock covers file-system work only.
  const std::string sha256 = known_sha256 ? std::string(*known_sha256) : util::sha256_hex(bytes);
  // A digest that is not the bytes' own would publish a manifest that lies: debug builds check.
  assert(!known_sha256 || sha256 == util::sha256_hex(bytes));

  const StageRequest request{
      .request_id = request_id,
      .original_name = name,
      .size_bytes = bytes.size(),
      .sha256 = sha256,
      .source_path = std::nullopt,
      .reuse_rule = ReuseRule::StageDirectory,
  };
  return run_staging_transaction(config, request, [bytes](StagedFile& staged) -> Status {
    constexpr Prefixed kFailure = staging_failed("Unable to stage attachment: ");
    VARQUIN_RETURN_IF_ERROR(platform::write_all(staged.fd.get(), bytes), kFailure);
    VARQUIN_RETURN_IF_ERROR(platform::full_sync(staged.fd.get()), kFailure);
    return {};
  });
}

}  // namespace

Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes) {
  return stage_bytes_hashed(config, request_id, attachment_name, bytes, std::nullopt);
}

Result<StageOutcome> stage_bytes(const BridgeConfig& config, std::string_view request_id,
                                 std::string_view attachment_name,
                                 std::span<const std::uint8_t> bytes, std::string_view sha256) {
  return stage_bytes_hashed(config, request_id, attachment_name, bytes, sha256);
}

}  // namespace varquin::staging
