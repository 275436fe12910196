// The upload road: an attachment sent in Base64 chunks, committed into the store, then launched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "error.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace varquin {

// The one upload in progress; it lives in the host loop and dies with the process.
struct UploadSession {
  std::optional<std::uint64_t> expected_size;
  std::string request_id;     // exactly as sent
  std::string original_name;  // normalised
  std::vector<std::uint8_t> data;
  std::uint32_t next_sequence = 0;
};

using SessionSlot = std::optional<UploadSession>;

// Opens the session; refused while one is open.
Result<protocol::HostResponse> begin_upload(SessionSlot& slot,
                                            const protocol::BeginUpload& request);

// Appends one chunk; every failure leaves the session exactly as it was.
Result<protocol::HostResponse> upload_chunk(SessionSlot& slot,
                                            const protocol::UploadChunk& request);

// Closes the session whatever happens, then stages its bytes.
Result<protocol::HostResponse> commit_upload(const BridgeConfig& config, SessionSlot& slot,
                                             const protocol::CommitUpload& request);

// Launches the desktop app on the staged manifest of the request.
Result<protocol::HostResponse> launch_request(const BridgeConfig& config,
                                              const protocol::LaunchRequest& request);

}  // namespace varquin
