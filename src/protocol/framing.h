// Native-messaging frames: a 4-byte little-endian length, then that many bytes of UTF-8 JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace varquin::protocol {

inline constexpr std::uint32_t kMaxRequestBytes = 1'048'576;  // 1 MiB

// The browser closed the pipe before a new frame began.
struct EndOfInput {};

// Raw frames, shared by the host and by the bridge client that plays the browser.
struct FrameReadError {
  enum class Part { Length, InvalidLength, Payload } part;
  std::string detail;  // the I/O error's text
};
struct FrameWriteError {
  enum class Part { Length, Payload } part;
  std::string detail;
};

// One payload of 1 to `max_length` bytes; none when input ended before the first length byte.
base::Expected<std::optional<std::string>, FrameReadError> read_frame(int input_fd,
                                                                      std::uint32_t max_length);
base::Expected<void, FrameWriteError> write_frame(int output_fd, std::string_view payload);

using ReadOutcome = std::variant<HostRequest, EndOfInput>;

// Reads, parses and validates one request from `input_fd`.
Result<ReadOutcome> read_next_framed_json(int input_fd);

// The same, request after request, reading every payload into one buffer that it keeps: a
// megabyte-sized chunk then reuses memory already in place instead of claiming fresh pages from
// the system for each frame. Nothing of one request is carried into the next.
class FrameReader {
 public:
  explicit FrameReader(int input_fd) : input_fd_(input_fd) {}
  Result<ReadOutcome> next();

 private:
  int input_fd_;
  std::string payload_;
};

// Serialises and writes one response to `output_fd`; the fd is unbuffered, so nothing is left to
// flush once the bytes are written.
Status write_framed_json(int output_fd, const HostResponse& response);

}  // namespace varquin::protocol
