// varquin-bridge-client: starts the bridge exactly as Chrome does and speaks its protocol for a
// person. Each response is printed on stdout as one JSON line; the exit status is 1 when the last
// response is a failure, 2 when the bridge could not be talked to.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bridge_connection.h"
#include "config/config.h"
#include "json/writer.h"
#include "platform/path.h"
#include "protocol/framing.h"
#include "toolkit/fs.h"
#include "util/base64.h"
#include "util/path.h"
#include "util/uuid.h"

namespace {

using varquin::tools::BridgeConnection;

constexpr std::string_view kSchema = "varquin.browser-import.v1";

struct Options {
  std::string bridge;
  std::optional<std::string> origin;
  std::optional<std::string> request_id;
  std::optional<std::string> name;
  bool show_requests = false;
  std::string command;
  std::vector<std::string> operands;
};

[[noreturn]] void die(const std::string& message) {
  std::cerr << "varquin-bridge-client: " << message << "\n";
  std::exit(2);
}

void usage() {
  std::cerr
      << "usage: varquin-bridge-client [options] COMMAND [ARG]\n"
         "commands:\n"
         "  ping                  liveness check\n"
         "  upload FILE           begin_upload, upload_chunk..., commit_upload, launch_request\n"
         "  stage-download PATH   stage a file in '<...>/Varquin Inbox/<request ID>/<name>'\n"
         "  cleanup DIR           remove an emptied managed download directory\n"
         "  launch ID             launch_request for a staged request ID\n"
         "  raw                   send the JSON requests read from stdin, one per line\n"
         "options:\n"
         "  --bridge PATH         bridge executable (default: beside this program)\n"
         "  --origin ORIGIN       caller origin (default: the first allowed origin of the\n"
         "                        configuration the bridge will read)\n"
         "  --request-id ID       request ID (default: a new random UUID, or taken from\n"
         "                        the path for stage-download and cleanup)\n"
         "  --name NAME           attachment name (default: the file's name)\n"
         "  --show-requests       echo each request on stderr (Base64 data abbreviated)\n";
  std::exit(2);
}

// Absolute without resolving links, so the bridge judges the path exactly as given.
std::string absolute_as_given(const std::string& path) {
  auto absolute = varquin::tools::absolute_as_given(path);
  if (!absolute) die(absolute.error());
  return *absolute;
}

std::string default_bridge_path() {
  auto sibling = varquin::tools::sibling_program("varquin-browser-bridge");
  if (!sibling) die(sibling.error() + " (pass --bridge)");
  return *sibling;
}

Options parse_options(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) usage();
      return args[++i];
    };
    if (args[i] == "--bridge") {
      options.bridge = value();
    } else if (args[i] == "--origin") {
      options.origin = value();
    } else if (args[i] == "--request-id") {
      options.request_id = value();
    } else if (args[i] == "--name") {
      options.name = value();
    } else if (args[i] == "--show-requests") {
      options.show_requests = true;
    } else if (args[i] == "-h" || args[i] == "--help") {
      usage();
    } else if (options.command.empty()) {
      options.command = args[i];
    } else {
      options.operands.push_back(args[i]);
    }
  }
  if (options.command.empty()) usage();
  if (options.bridge.empty()) options.bridge = default_bridge_path();
  return options;
}

std::string default_origin() {
  auto path = varquin::default_config_path();
  if (!path) die(path.error().message + " (pass --origin)");
  auto config = varquin::BridgeConfig::load(*path);
  if (!config) die(config.error().message + " (pass --origin)");
  return config->allowed_extension_origins.front();
}

class Session {
 public:
  Session(BridgeConnection& bridge, bool show_requests)
      : bridge_(bridge), show_requests_(show_requests) {}

  // Sends one request, prints its response; false when the bridge answered a failure.
  bool send(const std::string& request, bool print = true) {
    if (show_requests_) std::cerr << "> " << abbreviate(request) << "\n";
    auto response = bridge_.exchange(request);
    if (!response) die(response.error());
    if (print) std::cout << *response << std::endl;
    last_ok_ = response->starts_with("{\"ok\":true");
    return last_ok_;
  }
  bool last_ok() const { return last_ok_; }

 private:
  static std::string abbreviate(const std::string& request) {
    auto start = request.find("\"data\":\"");
    if (start == std::string::npos) return request;
    start += 8;
    auto end = request.find('"', start);
    if (end - start <= 24) return request;
    return request.substr(0, start) + "<" + std::to_string(end - start) + " Base64 characters>" +
           request.substr(end);
  }

  BridgeConnection& bridge_;
  bool show_requests_;
  bool last_ok_ = false;
};

std::string request_json(std::string_view action, const std::string& id,
                         const std::vector<std::pair<std::string, std::string>>& strings = {}) {
  varquin::json::ObjectWriter writer(varquin::json::Style::Compact);
  writer.string("action", action).string("schema", kSchema).string("requestId", id);
  for (const auto& [key, value] : strings) writer.string(key, value);
  auto text = writer.finish();
  if (!text) die("cannot encode the request: " + text.error());
  return *text;
}

std::string new_request_id() {
  auto uuid = varquin::util::random_uuid_v4();
  if (!uuid) die("no random source");
  return varquin::util::format_uuid_hyphenated(*uuid);
}

// The largest raw chunk whose Base64 text keeps the frame within 1 MiB.
std::size_t chunk_bytes_for(const std::string& id) {
  std::string empty_chunk =
      request_json("upload_chunk", id, {{"data", ""}}) + ",\"sequence\":4294967295";
  std::size_t room = varquin::protocol::kMaxRequestBytes - empty_chunk.size();
  return room / 4 * 3;
}

void show_progress(std::size_t done, std::size_t total) {
  constexpr int kWidth = 40;
  int filled = static_cast<int>(total ? done * kWidth / total : kWidth);
  std::fprintf(stderr, "\r[%s%s] %3zu%% %zu/%zu MiB", std::string(filled, '#').c_str(),
               std::string(kWidth - filled, ' ').c_str(), total ? done * 100 / total : 100,
               done >> 20, total >> 20);
  if (done == total) std::fputc('\n', stderr);
}

// Larger than the bridge accepts, so that its own refusal can be tried.
constexpr std::size_t kMaxUploadFileBytes = std::size_t{1} << 30;

void upload(Session& session, const Options& options) {
  if (options.operands.size() != 1) usage();
  const std::string& file = options.operands[0];
  auto content = varquin::platform::read_regular_file(file, kMaxUploadFileBytes);
  if (!content) die("cannot read " + file + ": " + content.error().text());
  std::string id = options.request_id.value_or(new_request_id());
  std::string name =
      options.name.value_or(std::string(varquin::util::file_name(file).value_or(file)));

  std::string begin =
      request_json("begin_upload", id, {{"source", "gmail"}, {"originalName", name}});
  begin.insert(begin.size() - 1, ",\"expectedSize\":" + std::to_string(content->size()));
  if (!session.send(begin)) return;

  const std::size_t step = chunk_bytes_for(id);
  const bool progress = content->size() >= (8u << 20) && ::isatty(STDERR_FILENO);
  std::uint32_t sequence = 0;
  for (std::size_t offset = 0; offset < content->size() || sequence == 0; offset += step) {
    std::size_t length = std::min(step, content->size() - offset);
    auto bytes = reinterpret_cast<const std::uint8_t*>(content->data()) + offset;
    std::string chunk =
        request_json("upload_chunk", id, {{"data", varquin::util::encode_base64({bytes, length})}});
    chunk.insert(chunk.size() - 1, ",\"sequence\":" + std::to_string(sequence++));
    // Chunk answers are many and alike: print them only when one fails.
    if (!session.send(chunk, !progress && content->size() < (8u << 20))) {
      if (progress) std::fputc('\n', stderr);
      return;
    }
    if (progress) show_progress(offset + length, content->size());
    if (content->empty()) break;
  }
  if (!session.send(request_json("commit_upload", id))) return;
  session.send(request_json("launch_request", id));
}

// The request ID is the last component of a managed directory path, or the one before a file.
std::string request_id_from(const Options& options, const std::string& path, bool is_file) {
  if (options.request_id) return *options.request_id;
  std::string directory = is_file ? varquin::util::parent_path(path).value_or("") : path;
  return std::string(varquin::util::file_name(directory).value_or(""));
}

void raw(Session& session) {
  bool any = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    session.send(line);
    any = true;
  }
  if (!any) die("no requests on standard input");
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Options options = parse_options(argc, argv);
  std::string origin = options.origin ? *options.origin : default_origin();
  auto bridge = BridgeConnection::start(absolute_as_given(options.bridge), origin);
  if (!bridge) die(bridge.error());
  Session session(*bridge, options.show_requests);

  const std::string& command = options.command;
  auto operand = [&]() -> const std::string& {
    if (options.operands.size() != 1) usage();
    return options.operands[0];
  };
  if (command == "ping") {
    session.send(request_json("ping", options.request_id.value_or(new_request_id())));
  } else if (command == "upload") {
    upload(session, options);
  } else if (command == "stage-download") {
    std::string path = absolute_as_given(operand());
    std::string name =
        options.name.value_or(std::string(varquin::util::file_name(path).value_or("")));
    session.send(request_json("stage_download", request_id_from(options, path, true),
                              {{"source", "gmail"}, {"filePath", path}, {"originalName", name}}));
  } else if (command == "cleanup") {
    std::string path = operand();
    session.send(request_json("cleanup_download_container", request_id_from(options, path, false),
                              {{"requestDirectoryPath", path}}));
  } else if (command == "launch") {
    session.send(request_json("launch_request", operand()));
  } else if (command == "raw") {
    raw(session);
  } else {
    usage();
  }
  return session.last_ok() ? 0 : 1;
}
