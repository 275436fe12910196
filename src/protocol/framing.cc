#include "protocol/framing.h"

#include <array>
#include <limits>
#include <span>
#include <string>

#include "platform/fd.h"

namespace varquin::protocol {

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr std::string_view kEndedEarly = "input ended early";

using ReadFault = std::unexpected<FrameReadError>;

// The adapter that makes a failed read a fault of one part of the frame.
auto fault_in(FrameReadError::Part part) {
  return [part](const platform::OsError& error) { return FrameReadError{part, error.text()}; };
}

// A frame's length, or the clean end of input before its first byte.
struct FrameLength {
  bool end_of_input;
  std::uint32_t value;
};

base::Expected<FrameLength, FrameReadError> read_length(int input_fd) {
  std::array<std::uint8_t, 4> bytes{};
  // A single one-byte read first: zero bytes here is the only clean end of input.
  constexpr auto kLength = FrameReadError::Part::Length;
  VARQUIN_ASSIGN_OR_RETURN(auto first, platform::read_some(input_fd, std::span(bytes).first(1)),
                           fault_in(kLength));
  if (first == 0) return FrameLength{true, 0};
  VARQUIN_ASSIGN_OR_RETURN(auto rest, platform::read_full(input_fd, std::span(bytes).subspan(1)),
                           fault_in(kLength));
  if (rest != 3) return ReadFault({kLength, std::string(kEndedEarly)});
  return FrameLength{false, std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24};
}

std::array<std::uint8_t, 4> little_endian(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string_view read_fault_prefix(FrameReadError::Part part) {
  switch (part) {
    case FrameReadError::Part::Length:
      return "Unable to read native message length: ";
    case FrameReadError::Part::InvalidLength:
      return "Native message length is invalid";
    case FrameReadError::Part::Payload:
      return "Unable to read native message payload: ";
  }
  return {};
}

// One payload into `payload` (its memory reused when it has room); false when input ended
// before the first length byte.
base::Expected<bool, FrameReadError> read_frame_into(int input_fd, std::uint32_t max_length,
                                                     std::string& payload) {
  VARQUIN_ASSIGN_OR_RETURN(const FrameLength length, read_length(input_fd));
  if (length.end_of_input) return false;
  const std::uint32_t size = length.value;
  // A bad length leaves the payload unread: the caller cannot resynchronise anyway.
  if (size == 0 || size > max_length) return ReadFault({FrameReadError::Part::InvalidLength, {}});
  // Read straight into the string: zero-filling a megabyte first would only be overwritten.
  platform::OsResult<std::size_t> got = 0;
  // The callback is handed `size` again on purpose: libstdc++ 12 passes the grown capacity
  // instead of the requested size when the string has to grow.
  payload.resize_and_overwrite(size, [&](char* data, std::size_t) {
    got = platform::read_full(input_fd, {reinterpret_cast<std::uint8_t*>(data), size});
    return got ? *got : 0;
  });
  VARQUIN_ASSIGN_OR_RETURN(auto read, std::move(got), fault_in(FrameReadError::Part::Payload));
  if (read != size) return ReadFault({FrameReadError::Part::Payload, std::string(kEndedEarly)});
  return true;
}

// Parses and validates one payload.
Result<ReadOutcome> parse_request(std::string_view payload) {
  VARQUIN_ASSIGN_OR_RETURN(
      auto request, parse_host_request(payload),
      Prefixed{"Native message is not valid protocol JSON: ", ErrorCode::InvalidRequest});
  VARQUIN_RETURN_IF_ERROR(request.validate());
  return ReadOutcome(std::move(request));
}

}  // namespace

base::Expected<std::optional<std::string>, FrameReadError> read_frame(int input_fd,
                                                                      std::uint32_t max_length) {
  std::string payload;
  VARQUIN_ASSIGN_OR_RETURN(const bool read, read_frame_into(input_fd, max_length, payload));
  if (!read) return std::optional<std::string>();
  return std::optional<std::string>(std::move(payload));
}

base::Expected<void, FrameWriteError> write_frame(int output_fd, std::string_view payload) {
  auto header = little_endian(static_cast<std::uint32_t>(payload.size()));
  auto fault_in = [](FrameWriteError::Part part) {
    return [part](const platform::OsError& error) { return FrameWriteError{part, error.text()}; };
  };
  VARQUIN_RETURN_IF_ERROR(platform::write_all(output_fd, header),
                          fault_in(FrameWriteError::Part::Length));
  VARQUIN_RETURN_IF_ERROR(platform::write_all(output_fd, bytes_of(payload)),
                          fault_in(FrameWriteError::Part::Payload));
  return {};
}

Result<ReadOutcome> read_next_framed_json(int input_fd) {
  return FrameReader(input_fd).next();
}

Result<ReadOutcome> FrameReader::next() {
  VARQUIN_ASSIGN_OR_RETURN(const bool read, read_frame_into(input_fd_, kMaxRequestBytes, payload_),
                           [](const FrameReadError& fault) {
                             return fail(read_fault_prefix(fault.part), fault.detail,
                                         ErrorCode::InvalidRequest);
                           });
  if (!read) return EndOfInput{};
  return parse_request(payload_);
}

Status write_framed_json(int output_fd, const HostResponse& response) {
  VARQUIN_ASSIGN_OR_RETURN(
      auto payload, serialize_response(response),
      Prefixed{"Unable to serialize native response: ", ErrorCode::InternalError});
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail("Native response is too large", ErrorCode::InternalError);
  }
  VARQUIN_RETURN_IF_ERROR(write_frame(output_fd, payload), [](const FrameWriteError& fault) {
    return fail(fault.part == FrameWriteError::Part::Length
                    ? "Unable to write native response length: "
                    : "Unable to write native response payload: ",
                fault.detail, ErrorCode::InternalError);
  });
  return {};
}

}  // namespace varquin::protocol
