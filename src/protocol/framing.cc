#include "protocol/framing.h"

#include <array>
#include <limits>
#include <span>
#include <string>

#include "platform/fd.h"

namespace varquin::protocol {

namespace {

std::unexpected<BridgeError> invalid(std::string_view prefix, std::string_view detail) {
  return fail(prefix, detail, ErrorCode::InvalidRequest);
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr std::string_view kEndedEarly = "input ended early";

using ReadFault = std::unexpected<FrameReadError>;

// Reads the length; none means the input ended cleanly before the first byte.
base::Expected<std::optional<std::uint32_t>, FrameReadError> read_length(int input_fd) {
  std::array<std::uint8_t, 4> bytes{};
  // A single one-byte read first: zero bytes here is the only clean end of input.
  auto first = platform::read_some(input_fd, std::span(bytes).first(1));
  if (!first) return ReadFault({FrameReadError::Part::Length, first.error().text()});
  if (*first == 0) return std::optional<std::uint32_t>();
  auto rest = platform::read_full(input_fd, std::span(bytes).subspan(1));
  if (!rest) return ReadFault({FrameReadError::Part::Length, rest.error().text()});
  if (*rest != 3) return ReadFault({FrameReadError::Part::Length, std::string(kEndedEarly)});
  return std::optional<std::uint32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                      std::uint32_t{bytes[2]} << 16 |
                                      std::uint32_t{bytes[3]} << 24);
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
  auto length = read_length(input_fd);
  if (!length) return ReadFault(length.error());
  if (!*length) return false;
  std::uint32_t size = **length;
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
  if (!got) return ReadFault({FrameReadError::Part::Payload, got.error().text()});
  if (*got != size) return ReadFault({FrameReadError::Part::Payload, std::string(kEndedEarly)});
  return true;
}

// Parses and validates one payload.
Result<ReadOutcome> parse_request(std::string_view payload) {
  auto request = parse_host_request(payload);
  if (!request) return invalid("Native message is not valid protocol JSON: ", request.error());
  VARQUIN_RETURN_IF_ERROR(request->validate());
  return ReadOutcome(std::move(*request));
}

}  // namespace

base::Expected<std::optional<std::string>, FrameReadError> read_frame(int input_fd,
                                                                      std::uint32_t max_length) {
  std::string payload;
  auto read = read_frame_into(input_fd, max_length, payload);
  if (!read) return ReadFault(read.error());
  if (!*read) return std::optional<std::string>();
  return std::optional<std::string>(std::move(payload));
}

base::Expected<void, FrameWriteError> write_frame(int output_fd, std::string_view payload) {
  auto header = little_endian(static_cast<std::uint32_t>(payload.size()));
  if (auto written = platform::write_all(output_fd, header); !written) {
    return std::unexpected(FrameWriteError{FrameWriteError::Part::Length, written.error().text()});
  }
  if (auto written = platform::write_all(output_fd, bytes_of(payload)); !written) {
    return std::unexpected(FrameWriteError{FrameWriteError::Part::Payload, written.error().text()});
  }
  return {};
}

Result<ReadOutcome> read_next_framed_json(int input_fd) {
  return FrameReader(input_fd).next();
}

Result<ReadOutcome> FrameReader::next() {
  auto read = read_frame_into(input_fd_, kMaxRequestBytes, payload_);
  if (!read) return invalid(read_fault_prefix(read.error().part), read.error().detail);
  if (!*read) return EndOfInput{};
  return parse_request(payload_);
}

Status write_framed_json(int output_fd, const HostResponse& response) {
  auto payload = serialize_response(response);
  if (!payload) {
    return fail("Unable to serialize native response: ", payload.error(), ErrorCode::InternalError);
  }
  if (payload->size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail("Native response is too large", ErrorCode::InternalError);
  }
  auto written = write_frame(output_fd, *payload);
  if (!written) {
    bool length = written.error().part == FrameWriteError::Part::Length;
    return fail(length ? "Unable to write native response length: "
                       : "Unable to write native response payload: ",
                written.error().detail, ErrorCode::InternalError);
  }
  return {};
}

}  // namespace varquin::protocol
