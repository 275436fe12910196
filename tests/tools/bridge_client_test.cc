// The bridge client's upload: chunks that fit the bridge's frame limit and together carry the file
// byte for byte. A recorder between the client and the bridge keeps every frame the client sent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "json/reader.h"
#include "protocol/framing.h"
#include "support/bridge_fixture.h"
#include "util/base64.h"
#include "util/sha256.h"

namespace varquin::testing {
namespace {

struct Chunk {
  std::uint64_t sequence = 0;
  std::string data;  // decoded
};

// Pseudo-random bytes over the whole byte range, so Base64 sees every symbol and padding form.
std::string file_content(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 0x9e3779b9u ^ static_cast<std::uint32_t>(size);
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string sha256_of(const std::string& bytes) {
  return util::sha256_hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

class ClientUpload : public BridgeFixture {
 protected:
  void SetUp() override {
    if (!launcher_is_stand_in()) GTEST_SKIP() << "built without the stand-in launcher";
    recorder_ = home_ / "recording-bridge";
    // Passes the client's frames on to the bridge and keeps a copy. The shell lets go of the
    // answer pipe, so a bridge that dies is seen by the client at once, and it waits for tee, so
    // the copy is complete when the client has reaped it.
    write_file(recorder_,
               "#!/bin/sh\n"
               "exec 3<&0\n"
               "tee '" +
                   frames_path() +
                   "' <&3 3<&- | '" VARQUIN_BRIDGE_EXE
                   "' \"$@\" 3<&- &\n"
                   "exec 0<&- 1>&- 3<&-\n"
                   "wait\n");
    ASSERT_EQ(::chmod(recorder_.c_str(), 0755), 0);
  }

  std::string frames_path() const { return home_ / "frames"; }

  // Uploads `content` as data.csv under `id` and returns the chunks the client sent, after
  // checking that every frame kept within the limit.
  std::vector<Chunk> upload(const std::string& content, const std::string& id) {
    const std::string file = home_ / "data.csv";
    write_file(file, content);
    BridgeRun run;
    run.executable = VARQUIN_CLIENT_EXE;
    run.arguments = {"--bridge", recorder_, "--request-id", id, "upload", file};
    run.environment = environment_;
    BridgeResult result = run_bridge(run, 600);
    EXPECT_EQ(result.exit_status, 0) << result.error << result.output;

    std::vector<Chunk> chunks;
    for (const std::string& frame : unframe(read_file(frames_path()))) {
      EXPECT_LE(frame.size(), protocol::kMaxRequestBytes);
      auto chunk = chunk_in(frame);
      if (chunk) chunks.push_back(std::move(*chunk));
    }
    return chunks;
  }

  static std::optional<Chunk> chunk_in(const std::string& frame) {
    auto document = json::parse_document(frame);
    EXPECT_TRUE(document) << frame.substr(0, 200);
    if (!document) return std::nullopt;
    bool is_chunk = false;
    Chunk chunk;
    for (const auto& member : document->members) {
      if (member.key == "action") is_chunk = member.value.text == "upload_chunk";
      if (member.key == "sequence") chunk.sequence = member.value.number;
      if (member.key == "data") {
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(util::decode_base64_append(member.value.text, bytes));
        chunk.data.assign(bytes.begin(), bytes.end());
      }
    }
    if (!is_chunk) return std::nullopt;
    return chunk;
  }

  // The chunks in order, joined, and the stage the bridge made of them.
  void expect_whole(const std::vector<Chunk>& chunks, const std::string& content,
                    const std::string& id) {
    std::string joined;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].sequence, i);
      joined += chunks[i].data;
    }
    EXPECT_TRUE(joined == content) << "the chunks do not add up to the file";
    const std::string stage = imports_root() + "/" + id;
    EXPECT_TRUE(read_file(stage + "/data.csv") == content) << "the staged file differs";
    EXPECT_NE(read_file(stage + "/request.json").find("\"sha256\": \"" + sha256_of(content) + "\""),
              std::string::npos);
  }

  std::string recorder_;
};

TEST_F(ClientUpload, ChunksAreFullUpToTheLastAndBoundariesAddNoEmptyChunk) {
  // A file of a little over three chunks shows the size of a full chunk.
  const std::string large = file_content(3 * protocol::kMaxRequestBytes + 7);
  const std::string large_id = "6a1f0c2e-3b4d-4e5f-8a9b-0c1d2e3f4a01";
  auto chunks = upload(large, large_id);
  ASSERT_GE(chunks.size(), 2u);
  const std::size_t full = chunks[0].data.size();
  EXPECT_EQ(chunks.size(), (large.size() + full - 1) / full);
  for (std::size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(chunks[i].data.size(), full);
  EXPECT_FALSE(chunks.back().data.empty());
  expect_whole(chunks, large, large_id);

  struct Case {
    std::size_t size;
    std::size_t min_chunks, max_chunks;  // an empty file may go with or without an empty chunk
    const char* id;
  };
  const Case cases[] = {
      {0, 0, 1, "6a1f0c2e-3b4d-4e5f-8a9b-0c1d2e3f4a02"},
      {1, 1, 1, "6a1f0c2e-3b4d-4e5f-8a9b-0c1d2e3f4a03"},
      {full, 1, 1, "6a1f0c2e-3b4d-4e5f-8a9b-0c1d2e3f4a04"},
      {full + 1, 2, 2, "6a1f0c2e-3b4d-4e5f-8a9b-0c1d2e3f4a05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string content = file_content(c.size);
    auto sent = upload(content, c.id);
    EXPECT_GE(sent.size(), c.min_chunks);
    EXPECT_LE(sent.size(), c.max_chunks);
    expect_whole(sent, content, c.id);
  }
}

TEST_F(ClientUpload, SixtyFourMebibytesArriveWhole) {
  const std::string content = file_content(std::size_t{64} << 20);
  auto chunks = upload(content, kRequestId);
  ASSERT_FALSE(chunks.empty());
  const std::size_t full = chunks[0].data.size();
  EXPECT_EQ(chunks.size(), (content.size() + full - 1) / full);
  expect_whole(chunks, content, kRequestId);
}

}  // namespace
}  // namespace varquin::testing
