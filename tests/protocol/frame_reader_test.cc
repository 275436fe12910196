// The host loop's reader keeps one payload buffer across frames: each frame must still be read to
// its own length exactly, whether the buffer has to grow for it or already has room.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "protocol/framing.h"
#include "support/bridge_process.h"

namespace varquin::protocol {
namespace {

using varquin::testing::frame;

// A chunk request of exactly `size` bytes whose "data" is `size`-dependent Base64.
std::string chunk_of_size(std::size_t size, std::uint32_t sequence) {
  const std::string head = R"({"action":"upload_chunk","schema":"varquin.browser-import.v1",)"
                           R"("requestId":"r","sequence":)" +
                           std::to_string(sequence) + R"(,"data":")";
  const std::string tail = R"("})";
  std::string data(size - head.size() - tail.size(), 'A');
  data.resize(data.size() / 4 * 4);
  std::string text = head + data + tail;
  // Pad with white space after the document to hit the size exactly.
  text.append(size - text.size(), ' ');
  return text;
}

TEST(FrameReader, ReadsEachFrameToItsOwnLengthWhileItsBufferGrowsAndShrinks) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::size_t> sizes = {200, 1'048'000, 1'048'001, 150, kMaxRequestBytes, 300};
  std::string bytes;
  for (std::uint32_t i = 0; i < sizes.size(); ++i) bytes += frame(chunk_of_size(sizes[i], i));

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // Writes beside the reader; on every way out, the read end is closed first so that a writer
  // still blocked on a full pipe gets EPIPE and ends.
  struct Writer {
    int read_end;
    std::thread thread;
    ~Writer() {
      ::close(read_end);
      thread.join();
    }
  } writer{fds[0], std::thread([&, write_end = fds[1]] {
             std::size_t done = 0;
             while (done < bytes.size()) {
               ssize_t n = ::write(write_end, bytes.data() + done, bytes.size() - done);
               if (n <= 0) break;
               done += static_cast<std::size_t>(n);
             }
             ::close(write_end);
           })};
  FrameReader reader(fds[0]);
  for (std::uint32_t i = 0; i < sizes.size(); ++i) {
    auto outcome = reader.next();
    ASSERT_TRUE(outcome) << i << ": " << outcome.error().message;
    ASSERT_TRUE(std::holds_alternative<HostRequest>(*outcome)) << i;
    const auto& chunk = std::get<UploadChunk>(std::get<HostRequest>(*outcome).body);
    EXPECT_EQ(chunk.sequence, i);
    EXPECT_EQ(chunk.data, std::string(chunk.data.size(), 'A'));
  }
  auto end = reader.next();
  ASSERT_TRUE(end);
  EXPECT_TRUE(std::holds_alternative<EndOfInput>(*end));
}

}  // namespace
}  // namespace varquin::protocol
