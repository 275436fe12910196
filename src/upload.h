// The upload road: an attachment sent in Base64 chunks, committed into the store, then launched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "config/config.h"
#include "error.h"
#include "platform/memory.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "util/sha256.h"

namespace varquin {

// The decoded bytes of an upload. Unlike std::vector, growing it never zero-fills: each chunk is
// decoded straight into the free space, so every byte is written once.
class UploadBuffer {
 public:
  UploadBuffer() = default;
  UploadBuffer(UploadBuffer&&) noexcept = default;
  UploadBuffer& operator=(UploadBuffer&&) noexcept = default;

  // Room for `capacity` bytes in total, allocated now and left uninitialised.
  void reserve(std::size_t capacity);
  // The `count` bytes after the end, to be written and then kept with `commit`; grows the buffer
  // (never beyond `ceiling` bytes, which must not be below size() + count) when they do not fit.
  std::span<std::uint8_t> prepare(std::size_t count, std::size_t ceiling);
  void commit(std::size_t count) { size_ += count; }

  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }

 private:
  platform::LargeBytes data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The one upload in progress; it lives in the host loop and dies with the process.
struct UploadSession {
  std::optional<std::uint64_t> expected_size;
  std::string request_id;     // exactly as sent
  std::string original_name;  // normalised
  UploadBuffer data;
  std::uint32_t next_sequence = 0;
  // SHA-256 of `data`, fed as each chunk is accepted so that the commit need not read the whole
  // attachment again. Held by pointer because the hashing context cannot move.
  std::unique_ptr<util::Sha256> digest = std::make_unique<util::Sha256>();
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
