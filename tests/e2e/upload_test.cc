// The upload road through the executable, against the stand-in launcher.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/bridge_fixture.h"
#include "util/sha256.h"

namespace varquin::testing {
namespace {

class UploadEndToEnd : public BridgeFixture {
 protected:
  void SetUp() override {
    if (!launcher_is_stand_in()) GTEST_SKIP() << "built without the stand-in launcher";
  }

  std::string ok(const std::string& status, const char* reused = nullptr,
                 const std::string& id = kRequestId) {
    std::string text = R"({"ok":true,"requestId":")" + id + R"(","status":")" + status + "\"";
    if (reused) text += std::string(R"(,"reused":)") + reused;
    return text + "}";
  }
  std::string failed(const std::string& code, bool retryable, const std::string& id = kRequestId) {
    return R"({"ok":false,"requestId":")" + id + R"(","code":")" + code + R"(","retryable":)" +
           (retryable ? "true" : "false") + "}";
  }

  // begin, one chunk per element of `parts`, commit.
  std::vector<std::string> upload(const std::vector<std::string>& parts, const std::string& name,
                                  const std::string& id = kRequestId) {
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    std::vector<std::string> requests{request::begin(id, name, total)};
    for (unsigned i = 0; i < parts.size(); ++i) {
      requests.push_back(request::chunk(id, i, base64(parts[i])));
    }
    requests.push_back(request::commit(id));
    return requests;
  }

  std::string stage_dir(const std::string& id = kRequestId) { return imports_root() + "/" + id; }
};

TEST_F(UploadEndToEnd, WholeRoadStagesAndLaunchesWithTheManifestPath) {
  auto requests = upload({"a,b\n", "1,2\n"}, "report.csv");
  requests.push_back(request::launch(kRequestId));
  auto replies = answers(requests);
  EXPECT_EQ(replies, (std::vector<std::string>{ok("upload_ready"), ok("chunk_accepted"),
                                               ok("chunk_accepted"), ok("staged", "false"),
                                               ok("staged_and_launched")}));

  EXPECT_EQ(list_names(stage_dir()), (std::vector<std::string>{"report.csv", "request.json"}));
  EXPECT_EQ(read_file(stage_dir() + "/report.csv"), "a,b\n1,2\n");
  const std::string manifest = read_file(stage_dir() + "/request.json");
  const std::string file_path = stage_dir() + "/report.csv";
  EXPECT_NE(manifest.find("\"originalSourcePath\": \"" + file_path + "\",\n"), std::string::npos);
  EXPECT_NE(manifest.find("\"filePath\": \"" + file_path + "\",\n"), std::string::npos);
  EXPECT_NE(manifest.find("\"sizeBytes\": 8,\n"), std::string::npos);
  EXPECT_NE(manifest.find(
                "\"sha256\": \"" +
                util::sha256_hex({reinterpret_cast<const std::uint8_t*>("a,b\n1,2\n"), 8}) + "\""),
            std::string::npos);
  EXPECT_EQ(list_names(imports_root()), (std::vector<std::string>{".bridge.lock", kRequestId}));

  EXPECT_EQ(launcher_calls(),
            std::vector<std::string>{R"(["-n","/Applications/Varquin.app","--args",)"
                                     R"("--varquin-browser-import=)" +
                                     stage_dir() + R"(/request.json"])"});
}

TEST_F(UploadEndToEnd, RepeatsAreReusedConflictsRefused) {
  answers(upload({"x,y\n"}, "data.csv"));
  EXPECT_EQ(answers(upload({"x,y\n"}, "data.csv")).back(), ok("staged", "true"));
  EXPECT_EQ(answers(upload({"x,z\n"}, "data.csv")).back(), failed("request_conflict", false));
  EXPECT_EQ(answers(upload({"x,y\n"}, "other.csv")).back(), failed("request_conflict", false));
  EXPECT_EQ(read_file(stage_dir() + "/data.csv"), "x,y\n");
}

TEST_F(UploadEndToEnd, FinalizedRequestsAreAnsweredAlreadyFinalized) {
  environment_["VARQUIN_FAKE_OPEN_FINALIZE"] = "1";
  auto requests = upload({"1\n"}, "final.csv");
  requests.push_back(request::launch(kRequestId));
  EXPECT_EQ(answers(requests).back(), ok("staged_and_launched"));
  ASSERT_TRUE(path_exists(terminals_root() + "/" + kRequestId + ".json"));
  ASSERT_EQ(launcher_calls().size(), 1u);

  EXPECT_EQ(answers(upload({"1\n"}, "final.csv")).back(), ok("already_finalized", "false"));
  EXPECT_EQ(answers({request::launch(kRequestId)}),
            std::vector<std::string>{ok("already_finalized", "true")});
  EXPECT_EQ(answers(upload({"2\n"}, "final.csv")).back(), failed("request_conflict", false));
  EXPECT_EQ(launcher_calls().size(), 1u);
}

TEST_F(UploadEndToEnd, FailedLaunchKeepsTheStageForARetry) {
  environment_["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  auto requests = upload({"1\n"}, "a.csv");
  requests.push_back(request::launch(kRequestId));
  EXPECT_EQ(answers(requests).back(), failed("app_launch_failed", true));
  EXPECT_TRUE(path_exists(stage_dir() + "/request.json"));
  environment_.erase("VARQUIN_FAKE_OPEN_EXIT");
  EXPECT_EQ(answers({request::launch(kRequestId)}),
            std::vector<std::string>{ok("staged_and_launched")});
  EXPECT_EQ(answers({request::launch("9b2f2f1e-0000-4000-8000-000000000001")}),
            std::vector<std::string>{
                failed("request_missing", true, "9b2f2f1e-0000-4000-8000-000000000001")});
}

TEST_F(UploadEndToEnd, LauncherCannotTouchTheProtocolPipe) {
  environment_["VARQUIN_FAKE_OPEN_NOISE"] = "1";
  auto requests = upload({"1\n"}, "a.csv");
  requests.push_back(request::launch(kRequestId));
  requests.push_back(request::ping(kRequestId));
  BridgeResult result = run(requests);
  auto replies = unframe(result.output);
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[3], ok("staged_and_launched"));
  EXPECT_EQ(replies[4], ok("pong"));
}

TEST_F(UploadEndToEnd, SessionRulesAndStateAfterEachFailure) {
  // Not the fixture's ID in upper case: a case-insensitive volume would take both for one.
  const std::string upper = "7D444840-9DC0-11D1-B245-5FFDCE74FAD2";
  const std::string other = "9b2f2f1e-0000-4000-8000-000000000001";
  auto replies = answers({
      request::chunk(kRequestId, 0, "QQ=="),  // no session
      request::begin(kRequestId, "a.csv", 3),
      request::begin(other, "b.csv"),         // already active
      request::chunk(kRequestId, 1, "QQ=="),  // wrong sequence
      request::chunk(other, 0, "QQ=="),       // wrong request ID
      request::chunk(kRequestId, 0, "QQ"),    // padding missing
      request::chunk(kRequestId, 0, "QQ=="),
      request::chunk(kRequestId, 1, "QUI="),
      request::commit(kRequestId),            // 3 expected, 3 received
      request::chunk(kRequestId, 2, "QQ=="),  // session closed by the commit
      request::begin(upper, "b.csv", 10),
      request::chunk(upper, 0, base64("123456789")),
      request::commit(upper),  // 9 of 10 bytes
      request::chunk(upper, 1, "QQ=="),
      request::begin(kRequestId, "c.csv"),
      request::commit(other),  // wrong ID closes the session too
      request::commit(kRequestId),
      request::begin("0f8fad5bd9cb469fa16570867728950e", "a.csv"),
      request::begin("not-a-uuid", "a.csv"),
      request::begin(other, "a.xls"),
      request::begin(other, "a.csv", 67108865),
  });
  const std::vector<std::string> expected{
      failed("invalid_request", false),
      ok("upload_ready"),
      failed("invalid_request", false, other),
      failed("invalid_request", false),
      failed("invalid_request", false, other),
      failed("invalid_request", false),
      ok("chunk_accepted"),
      ok("chunk_accepted"),
      ok("staged", "false"),
      failed("invalid_request", false),
      ok("upload_ready", nullptr, upper),
      ok("chunk_accepted", nullptr, upper),
      failed("attachment_size_mismatch", true, upper),
      failed("invalid_request", false, upper),
      ok("upload_ready"),
      failed("invalid_request", false, other),
      failed("invalid_request", false),
      failed("invalid_request", false, "0f8fad5bd9cb469fa16570867728950e"),
      failed("invalid_request", false, "not-a-uuid"),
      failed("invalid_file", false, other),
      failed("file_too_large", false, other),
  };
  EXPECT_EQ(replies, expected);
  EXPECT_EQ(read_file(stage_dir() + "/a.csv"), "AAB");
  EXPECT_FALSE(path_exists(stage_dir(upper)));
}

TEST_F(UploadEndToEnd, UpperCaseRequestIdIsKeptAndEmptyUploadsStage) {
  const std::string upper = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  auto replies = answers({request::begin(upper, "empty.CSV"), request::commit(upper)});
  EXPECT_EQ(replies.back(), ok("staged", "false", upper));
  EXPECT_EQ(read_file(stage_dir(upper) + "/empty.CSV"), "");
}

TEST_F(UploadEndToEnd, Base64IsStrict) {
  const char* refused[] = {"QQ",     "QQ=",    "Q===",     "QR==", "QUJ=",      "QU JD",
                           "QUJD\n", "QU\nJD", "QUJD====", "-_8=", "QUJD=QUJD", "=QUJ"};
  for (const char* data : refused) {
    auto replies =
        answers({request::begin(kRequestId, "a.csv"), request::chunk(kRequestId, 0, data),
                 request::chunk(kRequestId, 0, "QUJD")});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1], failed("invalid_request", false)) << data;
    EXPECT_EQ(replies[2], ok("chunk_accepted")) << data;
  }
}

TEST_F(UploadEndToEnd, SixtyFourMebibytesExactlyAndNotOneByteMore) {
  const std::size_t limit = 67'108'864;
  const std::size_t step = 786'000;  // its Base64 text and the rest of the frame fit in 1 MiB
  std::string chunk_text = base64(std::string(step, 'z'));
  std::vector<std::string> requests{request::begin(kRequestId, "big.csv", limit)};
  unsigned sequence = 0;
  for (std::size_t sent = 0; sent < limit; sent += step) {
    std::size_t length = std::min(step, limit - sent);
    requests.push_back(request::chunk(
        kRequestId, sequence++, length == step ? chunk_text : base64(std::string(length, 'z'))));
  }
  requests.push_back(request::chunk(kRequestId, sequence, "QQ=="));  // one byte past the limit
  requests.push_back(request::chunk(kRequestId, sequence, ""));      // the sequence did not advance
  requests.push_back(request::commit(kRequestId));
  auto replies = answers(requests);
  ASSERT_EQ(replies.size(), requests.size());
  EXPECT_EQ(replies[replies.size() - 3], failed("file_too_large", false));
  EXPECT_EQ(replies[replies.size() - 2], ok("chunk_accepted"));
  EXPECT_EQ(replies.back(), ok("staged", "false"));
  struct stat info {};
  ASSERT_EQ(::stat((stage_dir() + "/big.csv").c_str(), &info), 0);
  EXPECT_EQ(static_cast<std::size_t>(info.st_size), limit);
}

}  // namespace
}  // namespace varquin::testing
