// varquin-bridge-client: starts the bridge exactly as Chrome does and speaks its protocol for a
// person. Each response is printed on stdout as one JSON line; the exit status is 1 when the last
// response is a failure, 2 when the bridge could not be talked to.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "protocol/framing.h"
#include "protocol/json_writer.h"
#include "util/base64.h"
#include "util/path.h"
#include "util/uuid.h"

extern char** environ;

namespace {

using varquin::platform::UniqueFd;

constexpr std::string_view kSchema = "varquin.browser-import.v1";
constexpr std::uint32_t kMaxResponseBytes = 16u << 20;

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

std::string absolute(const std::string& path) {
  auto resolved = varquin::platform::real_path(path);
  return resolved ? *resolved : path;
}

// Absolute without resolving links, so the bridge judges the path exactly as given.
std::string absolute_as_given(const std::string& path) {
  if (varquin::util::is_absolute(path)) return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) die("cannot read the working directory");
  return varquin::util::join_path(cwd, path);
}

std::string default_bridge_path(const char* argv0) {
  auto self = varquin::platform::real_path("/proc/self/exe");
  std::string base = self ? *self : absolute(argv0);
  auto directory = varquin::util::parent_path(base).value_or(".");
  return varquin::util::join_path(directory, "varquin-browser-bridge");
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
  if (options.bridge.empty()) options.bridge = default_bridge_path(argv[0]);
  return options;
}

std::string default_origin() {
  auto path = varquin::default_config_path();
  if (!path) die(path.error().message + " (pass --origin)");
  auto config = varquin::BridgeConfig::load(*path);
  if (!config) die(config.error().message + " (pass --origin)");
  return config->allowed_extension_origins.front();
}

// The bridge child with a pipe on each of its standard streams but stderr (shared with us).
class BridgeConnection {
 public:
  BridgeConnection(const std::string& executable, const std::string& origin) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) die("cannot create pipes");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
      posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::string exe = absolute(executable);
    std::vector<char*> argv{exe.data(), const_cast<char*>(origin.c_str()), nullptr};
    int error = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    input_ = UniqueFd(to_child[1]);
    output_ = UniqueFd(from_child[0]);
    if (error != 0) die("cannot start " + exe + ": " + std::strerror(error));
  }

  ~BridgeConnection() {
    input_.reset();
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
  }

  std::optional<std::string> exchange(const std::string& request) {
    if (!varquin::protocol::write_frame(input_.get(), request)) return std::nullopt;
    auto response = varquin::protocol::read_frame(output_.get(), kMaxResponseBytes);
    if (!response || !*response) return std::nullopt;
    return std::move(**response);
  }

 private:
  pid_t pid_ = -1;
  UniqueFd input_, output_;
};

class Session {
 public:
  Session(BridgeConnection& bridge, bool show_requests)
      : bridge_(bridge), show_requests_(show_requests) {}

  // Sends one request, prints its response; false when the bridge answered a failure.
  bool send(const std::string& request, bool print = true) {
    if (show_requests_) std::cerr << "> " << abbreviate(request) << "\n";
    auto response = bridge_.exchange(request);
    if (!response) die("the bridge closed the pipe without answering");
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

void upload(Session& session, const Options& options) {
  if (options.operands.size() != 1) usage();
  const std::string& file = options.operands[0];
  auto content = varquin::platform::read_whole_file(file);
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
  BridgeConnection bridge(options.bridge, origin);
  Session session(bridge, options.show_requests);

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
