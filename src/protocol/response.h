// HostResponse: one answer per request, written compactly with absent fields left out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "json/expected.h"

namespace varquin::protocol {

namespace status {
inline constexpr std::string_view kUploadReady = "upload_ready";
inline constexpr std::string_view kChunkAccepted = "chunk_accepted";
inline constexpr std::string_view kStaged = "staged";
inline constexpr std::string_view kAlreadyFinalized = "already_finalized";
inline constexpr std::string_view kStagedAndLaunched = "staged_and_launched";
inline constexpr std::string_view kDownloadContainerCleaned = "download_container_cleaned";
inline constexpr std::string_view kPong = "pong";
}  // namespace status

struct HostResponse {
  bool ok = false;
  std::optional<std::string> request_id;
  std::optional<std::string_view> status;
  std::optional<bool> reused;
  std::optional<ErrorCode> code;
  std::optional<bool> retryable;

  static HostResponse success(std::optional<std::string> request_id, std::string_view status);
  // Carries the code and the retryable flag, never the message.
  static HostResponse failure(std::optional<std::string> request_id, const BridgeError& error);

  HostResponse&& with_reused(bool value) && {
    reused = value;
    return std::move(*this);
  }
};

// Compact JSON in the key order "ok", "requestId", "status", "reused", "code", "retryable".
json::Expected<std::string> serialize_response(const HostResponse& response);

}  // namespace varquin::protocol
