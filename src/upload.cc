#include "upload.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "launch/launch.h"
#include "platform/memory.h"
#include "staging/attachment_name.h"
#include "staging/limits.h"
#include "staging/records.h"
#include "staging/request_id.h"
#include "staging/stage_bytes.h"
#include "staging/transaction.h"
#include "util/base64.h"

namespace varquin {

namespace {

using protocol::HostResponse;
namespace status = protocol::status;

constexpr std::uint64_t kLimit = staging::kAttachmentLimitBytes;

std::unexpected<BridgeError> too_large() {
  return fail("The attachment exceeds Varquin's 64 MiB limit", ErrorCode::FileTooLarge);
}

// The request-ID rule of the store, reported as a fault of the request itself.
Status check_upload_request_id(const std::string& request_id) {
  auto fault = staging::check_request_id(request_id);
  if (fault == staging::RequestIdFault::None) return {};
  return fail(std::string(staging::request_id_fault_message(fault)), ErrorCode::InvalidRequest);
}

std::unexpected<BridgeError> not_base64() {
  return fail("The attachment chunk is not valid base64", ErrorCode::InvalidRequest);
}

}  // namespace

void UploadBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  platform::LargeBytes grown = platform::allocate_large_bytes(capacity);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

std::span<std::uint8_t> UploadBuffer::prepare(std::size_t count, std::size_t ceiling) {
  const std::size_t needed = size_ + count;
  // Doubling keeps an upload without "expectedSize" to a few copies; the ceiling keeps it from
  // reserving past the attachment limit.
  if (needed > capacity_) reserve(std::min(std::max(needed, capacity_ * 2), ceiling));
  return {data_.get() + size_, count};
}

Result<HostResponse> begin_upload(SessionSlot& slot, const protocol::BeginUpload& request) {
  if (slot) return fail("An attachment upload is already active", ErrorCode::InvalidRequest);
  VARQUIN_RETURN_IF_ERROR(check_upload_request_id(request.request_id));
  VARQUIN_ASSIGN_OR_RETURN(auto name, staging::normalize_original_name(request.original_name));
  if (request.expected_size && *request.expected_size > kLimit) return too_large();

  UploadSession session{request.expected_size, request.request_id, std::move(name), {}, 0};
  // Reserved up front so a well-behaved upload never reallocates.
  if (request.expected_size) session.data.reserve(std::min(*request.expected_size, kLimit));
  slot = std::move(session);
  return HostResponse::success(request.request_id, status::kUploadReady);
}

Result<HostResponse> upload_chunk(SessionSlot& slot, const protocol::UploadChunk& request) {
  if (!slot) return fail("No attachment upload is active", ErrorCode::InvalidRequest);
  UploadSession& session = *slot;
  if (request.request_id != session.request_id || request.sequence != session.next_sequence) {
    return fail("The attachment chunk sequence is invalid", ErrorCode::InvalidRequest);
  }
  // A text of the wrong length fails decoding before any byte is appended.
  if (request.data.size() % 4 != 0) return not_base64();
  const std::size_t decoded = util::decoded_base64_size(request.data);
  if (decoded > kLimit - session.data.size()) {
    // An over-limit chunk is decoded aside, so a bad encoding is still reported as such and the
    // session's buffer never grows past the limit.
    std::vector<std::uint8_t> scratch;
    if (!util::decode_base64_append(request.data, scratch)) return not_base64();
    return too_large();
  }
  // Decoded in place; the bytes count only once they have all proved valid.
  const std::span<std::uint8_t> room = session.data.prepare(decoded, kLimit);
  const auto written = util::decode_base64_into(request.data, room);
  if (!written) return not_base64();
  session.data.commit(*written);
  session.digest->update(room.first(*written));
  ++session.next_sequence;
  return HostResponse::success(request.request_id, status::kChunkAccepted);
}

Result<HostResponse> commit_upload(const BridgeConfig& config, SessionSlot& slot,
                                   const protocol::CommitUpload& request) {
  std::optional<UploadSession> session = std::exchange(slot, std::nullopt);
  if (!session) return fail("No attachment upload is active", ErrorCode::InvalidRequest);
  if (request.request_id != session->request_id) {
    return fail("The attachment upload request ID does not match", ErrorCode::InvalidRequest);
  }
  if (session->expected_size && *session->expected_size != session->data.size()) {
    return fail("The attachment size changed during transfer", ErrorCode::AttachmentSizeMismatch);
  }
  const std::string sha256 = session->digest->finish_hex();
  VARQUIN_ASSIGN_OR_RETURN(auto outcome,
                           staging::stage_bytes(config, session->request_id, session->original_name,
                                                session->data.bytes(), sha256));
  auto answer = outcome.kind == staging::StageKind::AlreadyFinalized ? status::kAlreadyFinalized
                                                                     : status::kStaged;
  return HostResponse::success(request.request_id, answer)
      .with_reused(outcome.kind == staging::StageKind::Reused);
}

Result<HostResponse> launch_request(const BridgeConfig& config,
                                    const protocol::LaunchRequest& request) {
  VARQUIN_ASSIGN_OR_RETURN(auto manifest,
                           staging::staged_manifest_path(config, request.request_id));
  if (!manifest) {
    return HostResponse::success(request.request_id, status::kAlreadyFinalized).with_reused(true);
  }
  VARQUIN_RETURN_IF_ERROR(launch_varquin(config, *manifest));
  return HostResponse::success(request.request_id, status::kStagedAndLaunched);
}

}  // namespace varquin
