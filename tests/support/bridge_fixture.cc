#include "support/bridge_fixture.h"

#include <fstream>
#include <sstream>

#include "util/base64.h"

namespace varquin::testing {

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

const std::string kHead = R"({"schema":"varquin.browser-import.v1","requestId":)";

}  // namespace

BridgeFixture::BridgeFixture() {
  config_path_ = home_ / "config.json";
  write_file(config_path_, R"({"schema":"varquin.browser-bridge.config.v2",)"
                           R"("extensionId":"abcdefghijklmnopabcdefghijklmnop",)"
                           R"("appBundlePath":"/Applications/Varquin.app",)"
                           R"("electronUserDataPath":)" +
                               quoted(user_data()) + R"(,"allowedExtensionOrigins":[")" + kOrigin +
                               R"("]})");
  environment_ = {{"HOME", home_.path()},
                  {"VARQUIN_BROWSER_BRIDGE_CONFIG", config_path_},
                  {"VARQUIN_FAKE_OPEN_LOG", home_ / "launcher.log"},
                  {"PATH", "/usr/bin:/bin"}};
}

BridgeResult BridgeFixture::run_raw(const std::string& input) {
  BridgeRun bridge_run;
  bridge_run.arguments = arguments_;
  bridge_run.environment = environment_;
  bridge_run.input = input;
  return run_bridge(bridge_run);
}

BridgeResult BridgeFixture::run(const std::vector<std::string>& requests) {
  std::string input;
  for (const auto& r : requests) input += frame(r);
  return run_raw(input);
}

std::vector<std::string> BridgeFixture::answers(const std::vector<std::string>& requests) {
  BridgeResult result = run(requests);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.error, "");
  return unframe(result.output);
}

std::vector<std::string> BridgeFixture::launcher_calls() const {
  std::vector<std::string> lines;
  std::ifstream in(home_ / "launcher.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool BridgeFixture::launcher_is_stand_in() {
  return std::string(VARQUIN_CONFIGURED_LAUNCHER) == VARQUIN_FAKE_OPEN_EXE;
}

namespace request {
std::string ping(const std::string& id) {
  return kHead + quoted(id) + R"(,"action":"ping"})";
}
std::string begin(const std::string& id, const std::string& name,
                  const std::string& expected_size) {
  return kHead + quoted(id) + R"(,"action":"begin_upload","source":"gmail","originalName":)" +
         quoted(name) + R"(,"expectedSize":)" + expected_size + "}";
}
std::string chunk(const std::string& id, unsigned sequence, const std::string& base64) {
  return kHead + quoted(id) + R"(,"action":"upload_chunk","sequence":)" + std::to_string(sequence) +
         R"(,"data":)" + quoted(base64) + "}";
}
std::string commit(const std::string& id) {
  return kHead + quoted(id) + R"(,"action":"commit_upload"})";
}
std::string launch(const std::string& id) {
  return kHead + quoted(id) + R"(,"action":"launch_request"})";
}
std::string stage_download(const std::string& id, const std::string& path,
                           const std::string& name) {
  return kHead + quoted(id) + R"(,"action":"stage_download","source":"gmail","filePath":)" +
         quoted(path) + R"(,"originalName":)" + quoted(name) + "}";
}
std::string cleanup(const std::string& id, const std::string& directory) {
  return kHead + quoted(id) + R"(,"action":"cleanup_download_container","requestDirectoryPath":)" +
         quoted(directory) + "}";
}
}  // namespace request

std::string base64(const std::string& bytes) {
  return util::encode_base64({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace varquin::testing
