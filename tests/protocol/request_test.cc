#include "protocol/request.h"

#include <gtest/gtest.h>

namespace varquin::protocol {
namespace {

constexpr const char* kId = "0f8fad5b-d9cb-469f-a165-70867728950e";

std::string ping_with(const std::string& extra) {
  return std::string(R"({"action":"ping","schema":"varquin.browser-import.v1","requestId":")") +
         kId + "\"" + extra + "}";
}

TEST(RequestParsing, AcceptsEveryActionInObjectAndArrayForm) {
  const char* accepted[] = {
      R"({"schema":"s","requestId":"r","action":"ping"})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv"})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":null})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":18446744073709551615})",
      R"({"action":"upload_chunk","schema":"s","requestId":"r","sequence":4294967295,"data":""})",
      R"({"action":"commit_upload","schema":"s","requestId":"r"})",
      R"({"action":"launch_request","schema":"s","requestId":"r"})",
      R"({"action":"stage_download","schema":"s","requestId":"r","source":"gmail","filePath":"/f","originalName":"a.csv"})",
      R"({"action":"cleanup_download_container","schema":"s","requestId":"r","requestDirectoryPath":"/d"})",
      R"(["ping","s","r"])",
      R"(["begin_upload","s","r","gmail","a.csv",null])",
      R"(["upload_chunk","s","r",0,"AA=="])",
      "{\"action\":\"ping\",\"schema\":\"s\",\"requestId\":\"r\"} \t\r\n",
  };
  for (const char* text : accepted) {
    EXPECT_TRUE(parse_host_request(text)) << text;
  }
}

TEST(RequestParsing, RefusesMalformedDocuments) {
  const char* refused[] = {
      "",
      "ping",
      R"("ping")",
      R"({"schema":"s","requestId":"r"})",                                  // no action
      R"({"action":"pong","schema":"s","requestId":"r"})",                  // unknown action
      R"({"action":"ping","action":"ping","schema":"s","requestId":"r"})",  // repeated action
      R"({"action":"ping","schema":"s","schema":"s","requestId":"r"})",     // repeated field
      R"({"action":"ping","schema":"s","requestId":"r","extra":1})",        // unknown field
      R"({"action":"ping","schema":"s"})",                                  // missing field
      R"({"action":"ping","schema":1,"requestId":"r"})",                    // wrong type
      R"({"action":"ping","schema":null,"requestId":"r"})",
      R"({"action":"ping","schema":"s","requestId":"r"}x)",  // trailing bytes
      R"({"action":"ping","schema":"s","requestId":"r"}{})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":-1})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":-0})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":1.5})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":1.0})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":1e3})",
      R"({"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":18446744073709551616})",
      R"({"action":"upload_chunk","schema":"s","requestId":"r","sequence":4294967296,"data":""})",
      R"({"action":"upload_chunk","schema":"s","requestId":"r","sequence":"0","data":""})",
      R"({"action":"upload_chunk","schema":"s","requestId":"r","sequence":0,"data":["x"]})",
      R"(["begin_upload","s","r","gmail","a.csv"])",  // array without size
      R"(["ping","s","r","extra"])",
      R"(["ping","s"])",
      R"([])",
      R"([1,"s","r"])",
      "{\"action\":\"ping\",\"schema\":\"s\",\"requestId\":\"\xff\"}",           // bad UTF-8
      "{\"action\":\"ping\",\"schema\":\"s\",\"requestId\":\"\\ud800\"}",        // lone surrogate
      "\xEF\xBB\xBF{\"action\":\"ping\",\"schema\":\"s\",\"requestId\":\"r\"}",  // byte-order mark
  };
  for (const char* text : refused) {
    EXPECT_FALSE(parse_host_request(text)) << text;
  }
}

TEST(RequestParsing, NestingLimitIs128) {
  auto nested = [](int depth) {
    // The request object itself is one level; the rest nest inside an unknown field.
    return R"({"action":"ping","schema":"s","requestId":"r","x":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
  };
  auto at_limit = parse_host_request(nested(128));
  ASSERT_FALSE(at_limit);
  EXPECT_NE(at_limit.error().find("unknown field"), std::string::npos) << at_limit.error();
  auto over = parse_host_request(nested(129));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().find("unknown field"), std::string::npos) << over.error();
}

TEST(RequestParsing, KeepsFieldValues) {
  auto parsed = parse_host_request(
      R"({"data":"QUJD","sequence":7,"requestId":"R-1","schema":"s","action":"upload_chunk"})");
  ASSERT_TRUE(parsed);
  const auto& chunk = std::get<UploadChunk>(parsed->body);
  EXPECT_EQ(chunk.data, "QUJD");
  EXPECT_EQ(chunk.sequence, 7u);
  EXPECT_EQ(parsed->request_id(), "R-1");

  auto begin = parse_host_request(R"(["begin_upload","s","r","gmail","a\u00e9.csv",42])");
  ASSERT_TRUE(begin);
  EXPECT_EQ(std::get<BeginUpload>(begin->body).expected_size, 42u);
  EXPECT_EQ(std::get<BeginUpload>(begin->body).original_name, "a\xC3\xA9.csv");
}

TEST(RequestValidation, SchemaFirstThenSourceOfTheTwoActionsThatCarryOne) {
  struct Case {
    std::string json;
    const char* message;  // nullptr: valid
  };
  const std::string schema = R"("schema":"varquin.browser-import.v1")";
  const Case cases[] = {
      {ping_with(""), nullptr},
      {R"({"action":"ping","schema":"varquin.browser-import.v2","requestId":"r"})",
       "Unsupported browser import schema"},
      {R"({"action":"ping","schema":"Varquin.browser-import.v1","requestId":"r"})",
       "Unsupported browser import schema"},
      {R"({"action":"ping","schema":"varquin.browser-import.v1 ","requestId":"r"})",
       "Unsupported browser import schema"},
      {R"({"action":"stage_download",)" + schema +
           R"(,"requestId":"r","source":"Gmail","filePath":"/f","originalName":"a.csv"})",
       "Unsupported browser import source"},
      {R"({"action":"begin_upload",)" + schema +
           R"(,"requestId":"r","source":"outlook","originalName":"a.csv"})",
       "Unsupported browser import source"},
      {R"({"action":"begin_upload","schema":"x","requestId":"r","source":"outlook","originalName":"a.csv"})",
       "Unsupported browser import schema"},
  };
  for (const Case& c : cases) {
    auto parsed = parse_host_request(c.json);
    ASSERT_TRUE(parsed) << c.json;
    auto valid = parsed->validate();
    if (c.message == nullptr) {
      EXPECT_TRUE(valid) << c.json;
    } else {
      ASSERT_FALSE(valid) << c.json;
      EXPECT_EQ(valid.error().message, c.message);
      EXPECT_EQ(valid.error().code, ErrorCode::InvalidRequest);
      EXPECT_FALSE(valid.error().retryable());
    }
  }
}

}  // namespace
}  // namespace varquin::protocol
