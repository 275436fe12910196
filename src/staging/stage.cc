#include "staging/stage.h"

#include <cassert>

#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "staging/capacity.h"
#include "staging/layout.h"
#include "staging/publish.h"
#include "util/nfc.h"
#include "util/path.h"
#include "util/sha256.h"

namespace varquin::staging {

namespace {

constexpr std::size_t kMaxNameBytes = 255;

// C0 controls, DEL, C1 controls (U+0080 to U+009F, "\xC2\x80" to "\xC2\x9F" in valid UTF-8) and
// both path separators.
bool has_forbidden_character(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '\\') return true;
    if (byte == 0xC2 && i + 1 < name.size()) {
      auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

bool has_supported_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  // No "." or only a leading one: no extension at all.
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension == "csv" || extension == "dta" || extension == "xlsx";
}

// Stages `bytes` under the digest the caller computed, or under one computed here when it has none.
Result<StageOutcome> stage_bytes_hashed(const BridgeConfig& config, std::string_view request_id,
                                        std::string_view attachment_name,
                                        std::span<const std::uint8_t> bytes,
                                        std::optional<std::string_view> known_sha256) {
  if (auto valid = validate_request_id(request_id); !valid) return std::unexpected(valid.error());
  auto name = normalize_original_name(attachment_name);
  if (!name) return std::unexpected(name.error());
  if (bytes.size() > kAttachmentLimitBytes) {
    return fail(std::string(kTooLargeMessage), ErrorCode::FileTooLarge);
  }
  // Hashed before the lock so that the lock covers file-system work only.
  const std::string sha256 = known_sha256 ? std::string(*known_sha256) : util::sha256_hex(bytes);
  // A digest that is not the bytes' own would publish a manifest that lies: debug builds check.
  assert(!known_sha256 || sha256 == util::sha256_hex(bytes));

  const StageRequest request{
      .request_id = request_id,
      .original_name = *name,
      .size_bytes = bytes.size(),
      .sha256 = sha256,
      .source_path = std::nullopt,
      .reuse_rule = ReuseRule::StageDirectory,
  };
  return publish_stage(config, request, [bytes](StagedFile& staged) -> Status {
    auto written = platform::write_all(staged.fd.get(), bytes);
    if (written) written = platform::full_sync(staged.fd.get());
    if (!written) {
      return fail("Unable to stage attachment: ", written.error().text(), ErrorCode::StagingFailed);
    }
    return {};
  });
}

}  // namespace

Result<std::string> normalize_original_name(std::string_view name) {
  auto normalized = util::to_nfc(name);
  if (!normalized || normalized->empty() || *normalized == "." || *normalized == ".." ||
      normalized->size() > kMaxNameBytes || has_forbidden_character(*normalized)) {
    return fail("The attachment filename is invalid", ErrorCode::InvalidFile);
  }
  if (!has_supported_extension(*normalized)) {
    return fail("The attachment type is not supported", ErrorCode::InvalidFile);
  }
  return std::move(*normalized);
}

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

Status rollback_new_stage(const BridgeConfig& config, const StageOutcome& outcome) {
  if (!outcome.created) return {};
  const StorePaths store{config.electron_user_data_path};
  if (!outcome.manifest_path) {
    return fail("A new stage has no manifest path", ErrorCode::StagingFailed);
  }
  // An ID that is not one could name a directory outside the imports root.
  if (!validate_request_id(outcome.request_id) ||
      !util::same_path(*outcome.manifest_path, store.manifest_path(outcome.request_id))) {
    return fail("Refusing to roll back an unexpected request path", ErrorCode::StagingFailed);
  }
  constexpr std::string_view kFailure = "Unable to roll back failed browser import launch: ";
  auto imports_root = platform::Directory::open(store.imports_root());
  if (!imports_root) return staging_failure(kFailure, imports_root.error());
  return retire_stage(*imports_root, outcome.request_id, outcome.stage_identity, kFailure);
}

}  // namespace varquin::staging
