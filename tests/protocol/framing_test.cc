#include "protocol/framing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "support/bridge_process.h"

namespace varquin::protocol {
namespace {

using varquin::testing::frame;

// Feeds `bytes` through a pipe (closed after writing) and reads one request from it.
Result<ReadOutcome> read_from(const std::string& bytes) {
  // The reader may stop early (a bad length leaves the payload unread): the writer then gets
  // EPIPE instead of a fatal signal.
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  // Inputs larger than the pipe buffer need a writer that runs beside the reader.
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  auto outcome = read_next_framed_json(fds[0]);
  ::close(fds[0]);
  writer.join();
  return outcome;
}

const std::string kPing =
    R"({"action":"ping","schema":"varquin.browser-import.v1","requestId":"r"})";

TEST(Framing, ReadsOneValidatedRequest) {
  auto outcome = read_from(frame(kPing) + frame(kPing));
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(std::holds_alternative<HostRequest>(*outcome));
  EXPECT_EQ(std::get<HostRequest>(*outcome).request_id(), "r");
}

TEST(Framing, EndOfInputOnlyBeforeTheFirstLengthByte) {
  auto empty = read_from("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(std::holds_alternative<EndOfInput>(*empty));
}

TEST(Framing, ReadFaultsCarryTheirMessages) {
  struct Case {
    std::string bytes;
    std::string message_prefix;
  };
  std::string max_length_json = kPing + std::string(kMaxRequestBytes - kPing.size(), ' ');
  const Case cases[] = {
      {std::string("\x10", 1), "Unable to read native message length: "},
      {std::string("\x10\x00\x00", 3), "Unable to read native message length: "},
      {std::string("\x00\x00\x00\x00", 4), "Native message length is invalid"},
      {std::string("\x01\x00\x10\x00", 4) + std::string(100, ' '),
       "Native message length is invalid"},
      {std::string("\x10\x00\x00\x00", 4) + "{\"a\"", "Unable to read native message payload: "},
      {frame(kPing + "x"), "Native message is not valid protocol JSON: "},
      {frame(R"({"action":"ping","schema":"other","requestId":"r"})"),
       "Unsupported browser import schema"},
      {frame(max_length_json + " "), "Native message length is invalid"},
  };
  for (const Case& c : cases) {
    auto outcome = read_from(c.bytes);
    ASSERT_FALSE(outcome) << c.message_prefix;
    EXPECT_TRUE(outcome.error().message.starts_with(c.message_prefix)) << outcome.error().message;
    EXPECT_EQ(outcome.error().code, ErrorCode::InvalidRequest);
    EXPECT_FALSE(outcome.error().retryable());
  }
  // Exactly 1 MiB is still a valid frame.
  auto at_limit = read_from(frame(max_length_json));
  EXPECT_TRUE(at_limit) << at_limit.error().message;
}

TEST(Framing, WritesExactBytes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string id(36, 'a');
  ASSERT_TRUE(write_framed_json(fds[1], HostResponse::success(id, status::kPong)));
  BridgeError error("ignored message", ErrorCode::InvalidRequest);
  ASSERT_TRUE(write_framed_json(fds[1], HostResponse::failure(std::nullopt, error)));
  ::close(fds[1]);
  char buffer[512];
  ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  std::string bytes(buffer, static_cast<std::size_t>(n));
  const std::string pong = R"({"ok":true,"requestId":")" + id + R"(","status":"pong"})";
  const std::string failure = R"({"ok":false,"code":"invalid_request","retryable":false})";
  ASSERT_EQ(pong.size(), 78u);
  ASSERT_EQ(failure.size(), 55u);
  EXPECT_EQ(bytes, std::string("\x4E\x00\x00\x00", 4) + pong + std::string("\x37\x00\x00\x00", 4) +
                       failure);
}

TEST(Framing, ResponsesEscapeStringsAndOrderKeys) {
  auto response = HostResponse::success("a\"b\\c/\x01\xC3\xA9", status::kStaged).with_reused(false);
  auto text = serialize_response(response);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "{\"ok\":true,\"requestId\":\"a\\\"b\\\\c/\\u0001\xC3\xA9\",\"status\":\"staged\","
            "\"reused\":false}");
  auto bad = serialize_response(HostResponse::success("\xff", status::kPong));
  EXPECT_FALSE(bad);
}

}  // namespace
}  // namespace varquin::protocol
