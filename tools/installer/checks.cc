#include "installer/checks.h"

#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <span>

#include "bridge_connection.h"
#include "installer/files.h"
#include "installer/trust.h"
#include "json/reader.h"
#include "json/writer.h"
#include "platform/spawn.h"
#include "util/path.h"
#include "util/uuid.h"

namespace varquin::installer {

namespace {

// A bridge starts in milliseconds; past a second something slows it (a loaded machine, a cold
// volume), which is worth a word but does not break the browser, which waits. Only a bridge
// silent for much longer is taken for a hung one.
constexpr std::chrono::seconds kSlowAnswer{1};
constexpr std::chrono::seconds kAnswerTimeout{20};
constexpr std::chrono::seconds kExitTimeout{10};
constexpr std::string_view kOriginPrefix = "chrome-extension://";

bool check_place(Report& report, const ManifestDirectory& directory) {
  auto last = util::file_name(directory.path).value_or("");
  if (is_manifest_directory_name(last)) {
    report.pass("in a directory the browser reads");
    return true;
  }
  report.fail(directory.path +
              " is not a directory any browser reads manifests from: use a NativeMessagingHosts "
              "directory (for a browser started with --user-data-dir=U, U/NativeMessagingHosts)");
  return false;
}

bool check_name_and_type(Report& report, const HostManifest& manifest) {
  bool ok = true;
  if (!is_valid_host_name(manifest.name)) {
    report.fail("\"name\" is " + quoted(manifest.name) + ": browsers accept only lower-case " +
                "letters, digits, \"_\" and \".\" there; write " + std::string(kHostName));
    ok = false;
  } else if (manifest.name != kHostName) {
    report.fail("\"name\" is " + quoted(manifest.name) + " but the file is named " +
                std::string(kHostName) + ".json: the browser only finds a host in the file named " +
                "after its \"name\", and the extension connects to " + std::string(kHostName));
    ok = false;
  }
  if (manifest.type != "stdio") {
    report.fail("\"type\" is " + quoted(manifest.type) + "; the browser needs \"stdio\"");
    ok = false;
  }
  if (ok) report.pass("\"name\" matches the file name, \"type\" is \"stdio\"");
  return ok;
}

bool check_host(Report& report, ChainCheck& chain, const HostManifest& manifest,
                const Expectations& expected) {
  const std::string& path = manifest.path;
  if (!util::is_absolute(path)) {
    report.fail("\"path\" " + quoted(path) +
                " is relative: the browser needs the absolute path of the bridge");
    return false;
  }
  if (expected.bridge && !util::same_path(path, *expected.bridge)) {
    report.fail("\"path\" names " + path + ", another bridge than " + *expected.bridge +
                ": run varquin-bridge-install again to register this one");
    return false;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    report.fail("the host " + path + " does not exist: build and install the bridge there");
    return false;
  }
  if (!S_ISREG(info.st_mode) || ::access(path.c_str(), X_OK) != 0) {
    report.fail("the host " + path + " is not an executable file (chmod +x " + path + ")");
    return false;
  }
#if defined(__APPLE__)
  // Gatekeeper refuses to start a quarantined program the browser launches on its own.
  if (::getxattr(path.c_str(), "com.apple.quarantine", nullptr, 0, 0, 0) >= 0) {
    report.fail("the host " + path + " carries the quarantine attribute, so macOS will not start " +
                "it: xattr -d com.apple.quarantine " + quoted(path));
    return false;
  }
#endif
  report.pass("the host " + path + " is an executable file");
  chain.check(path, trust_for(expected), "the host");
  return true;
}

// Why `entry` is not an origin the browser accepts, or empty.
std::string origin_fault(std::string_view entry) {
  if (entry.find('*') != std::string_view::npos) return "has a wildcard, which the browser refuses";
  if (!entry.ends_with('/')) return "lacks the trailing \"/\" the browser requires";
  std::string_view id = entry.substr(0, entry.size() - 1);
  if (!id.starts_with(kOriginPrefix) || !is_extension_id(id.substr(kOriginPrefix.size()))) {
    return "is not of the form chrome-extension://<32 letters a-p>/";
  }
  return {};
}

bool check_origins(Report& report, const HostManifest& manifest, const Expectations& expected,
                   const std::optional<BridgeConfig>& config) {
  bool ok = !manifest.allowed_origins.empty();
  if (!ok) report.fail("\"allowed_origins\" is empty: no extension may start the bridge");
  for (const std::string& origin : manifest.allowed_origins) {
    if (auto fault = origin_fault(origin); !fault.empty()) {
      report.fail("\"allowed_origins\" entry " + quoted(origin) + " " + fault);
      ok = false;
    } else if (config && !config->validate_caller_origin(std::span(&origin, 1))) {
      report.fail("the configuration does not allow " + origin +
                  ": the bridge would refuse that extension (forbidden_origin)");
      ok = false;
    }
  }
  const auto& listed = manifest.allowed_origins;
  for (const std::string& origin : expected.origins) {
    if (std::find(listed.begin(), listed.end(), origin) == listed.end()) {
      report.fail("\"allowed_origins\" does not list " + origin + ": the browser would answer " +
                  "\"Access to the specified native messaging host is forbidden\"; run " +
                  "varquin-bridge-install with --extension-id for it");
      ok = false;
    }
  }
  if (ok) report.pass("\"allowed_origins\" lets " + listed.front() + " start the bridge");
  return ok;
}

std::string ping_request(const std::string& id) {
  auto text = json::ObjectWriter(json::Style::Compact)
                  .string("action", "ping")
                  .string("schema", "varquin.browser-import.v1")
                  .string("requestId", id)
                  .finish();
  return text.value_or(std::string());
}

// Empty when `response` is the pong for `id`, otherwise what it says instead.
std::string pong_fault(const std::string& response, const std::string& id) {
  auto document = json::parse_document(response);
  if (!document) return "an answer that is not JSON: " + response;
  bool ok = false;
  std::string status, code, request_id;
  for (const auto& m : document->members) {
    if (m.key == "ok") ok = m.value.kind == json::Value::Kind::Bool && m.value.boolean;
    if (m.key == "status") status = m.value.text;
    if (m.key == "code") code = m.value.text;
    if (m.key == "requestId") request_id = m.value.text;
  }
  if (ok && status == "pong" && request_id == id) return {};
  if (!code.empty()) return "the failure " + code + " (" + response + ")";
  return "an unexpected answer: " + response;
}

// "35 ms", or "2.4 s" from a second on.
std::string duration_text(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  if (ms < 1000) return std::to_string(ms) + " ms";
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

std::string exit_fault(const platform::ExitStatus& status) {
  if (status.exited && status.exit_code == 0) return {};
  if (status.exited) return "exited with status " + std::to_string(status.exit_code);
  const char* name = platform::signal_name(status.signal);
  return "was killed by " + (name ? std::string(name) : "signal " + std::to_string(status.signal));
}

// Starts the host exactly as the browser would and expects a pong, then a clean exit once its
// input closes.
void check_answers(Report& report, const HostManifest& manifest, const std::string& origin,
                   const std::string& config_path) {
  auto uuid = util::random_uuid_v4();
  const std::string id = uuid ? util::format_uuid_hyphenated(*uuid) : std::string(36, '0');
  const auto started = std::chrono::steady_clock::now();
  auto bridge = tools::BridgeConnection::start(manifest.path, origin,
                                               {{"VARQUIN_BROWSER_BRIDGE_CONFIG", config_path}});
  if (!bridge) {
    report.fail(bridge.error());
    return;
  }
  auto answer = bridge->exchange(ping_request(id), kAnswerTimeout);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (!answer) {
    report.fail("the bridge started as " + origin + " gave no answer to ping: " + answer.error() +
                " (the browser reports \"Error when communicating with the native messaging " +
                "host\")");
    return;
  }
  if (auto fault = pong_fault(*answer, id); !fault.empty()) {
    report.fail("the bridge started as " + origin + " answered ping with " + fault);
    return;
  }
  // Anything else on the pipe is read by the browser as a frame that breaks the connection.
  auto rest = bridge->close_input_and_read_rest(kExitTimeout);
  if (!rest) {
    report.fail(rest.error());
    return;
  }
  if (!rest->empty()) {
    report.fail("the bridge printed " + std::to_string(rest->size()) + " bytes on standard " +
                "output besides its answer; the browser takes them for a frame and reports " +
                "\"Error when communicating with the native messaging host\": nothing but " +
                "frames may go there");
    return;
  }
  auto exit = bridge->finish();
  if (!exit) {
    report.fail(exit.error());
  } else if (auto fault = exit_fault(*exit); !fault.empty()) {
    report.fail("the bridge answered ping but " + fault + " when its input closed");
  } else {
    report.pass("the bridge started as " + origin + " answered ping in " + duration_text(took) +
                " and exited cleanly");
  }
  if (took > kSlowAnswer) {
    report.warn("the bridge took " + duration_text(took) + " to answer ping, where it usually " +
                "takes milliseconds: the browser waits, but the machine or the volume the " +
                "bridge and its store are on is slow");
  }
}

}  // namespace

void Report::section(std::string_view title, std::string_view path) {
  sections_.push_back({std::string(title), std::string(path), {}});
  if (!json_) out_ << title << ": " << path << "\n";
}

void Report::add(std::string_view verdict, std::string_view what) {
  if (sections_.empty()) sections_.push_back({});
  sections_.back().lines.push_back({std::string(verdict), std::string(what)});
  if (json_) return;
  out_ << "  " << verdict << std::string(6 - verdict.size(), ' ') << what << "\n";
}

void Report::pass(std::string_view what) {
  add("ok", what);
}

void Report::fail(std::string_view what) {
  add("FAIL", what);
  ++failures_;
}

void Report::warn(std::string_view what) {
  add("WARN", what);
  ++warnings_;
}

void Report::skip(std::string_view what) {
  add("--", what);
}

void Report::note(std::string_view what) {
  add("note", what);
}

void Report::finish() {
  if (!json_) {
    if (failures_ > 0) {
      out_ << failures_ << (failures_ == 1 ? " check" : " checks") << " failed.\n";
    } else if (warnings_ > 0) {
      out_ << "Every check passed, with " << warnings_
           << (warnings_ == 1 ? " warning" : " warnings") << ".\n";
    } else {
      out_ << "Every check passed.\n";
    }
    return;
  }
  boost::json::array sections;
  for (const Section& section : sections_) {
    boost::json::array lines;
    for (const Line& line : section.lines) {
      lines.push_back({{"verdict", line.verdict}, {"text", line.text}});
    }
    sections.push_back({{"title", section.title}, {"path", section.path}, {"checks", lines}});
  }
  const boost::json::object document{{"ok", failures_ == 0},
                                     {"failures", failures_},
                                     {"warnings", warnings_},
                                     {"sections", std::move(sections)}};
  out_ << boost::json::serialize(document) << "\n";
}

std::optional<BridgeConfig> check_config(Report& report, ChainCheck& chain,
                                         const std::string& config_path) {
  report.section("Configuration", config_path);
  const Trust trust = Trust::for_user();
  auto exposed = exposed_components(config_path, trust);
  // The bridge refuses a configuration another user may change: said once, with what to do.
  const bool refused = exposed && std::any_of(exposed->begin(), exposed->end(),
                                              [](const Exposed& e) { return e.target; });
  auto config = BridgeConfig::load(config_path);
  if (config) {
    report.pass("readable and valid");
  } else if (!refused) {
    report.fail(config.error().message + " (code " + std::string(code_text(config.error().code)) +
                ")");
  }
  if (!exposed) {
    report.fail(exposed.error());
  } else {
    chain.report(*exposed, trust, "the configuration");
  }
  if (refused) {
    report.note("the bridge refuses a configuration another user may change (config_invalid)");
  }
  if (!config) return std::nullopt;
  // A store below a link is refused by every staging request: say so now, not at the first import.
  auto resolved = resolve_existing_prefix(config->electron_user_data_path);
  if (resolved && !util::same_path(*resolved, config->electron_user_data_path)) {
    report.fail("electronUserDataPath " + config->electron_user_data_path +
                " is reached through a symbolic link, which the bridge refuses; use " + *resolved);
  } else {
    report.pass("electronUserDataPath is reached without a symbolic link");
  }
  // The bridge launches this app as the user.
  chain.check(*config->app_bundle_path, trust, "appBundlePath " + *config->app_bundle_path);
  return std::move(*config);
}

void check_manifest(Report& report, ChainCheck& chain, const ManifestDirectory& directory,
                    const Expectations& expected, const std::optional<BridgeConfig>& config,
                    const std::string& config_path) {
  const std::string path = manifest_path_in(directory.path);
  report.section(directory.browser + " manifest", path);
  bool ok = check_place(report, directory);
  auto content = read_if_present(path);
  if (!content || !*content) {
    report.fail(content ? "missing: the browser answers \"Specified native messaging host not "
                          "found\"; run varquin-bridge-install to write it"
                        : content.error());
    return;
  }
  chain.check(path, trust_for(expected), "the manifest");
  auto manifest = parse_manifest(**content);
  if (!manifest) {
    report.fail("the browser cannot use it: " + manifest.error());
    return;
  }
  ok = check_name_and_type(report, *manifest) && ok;
  ok = check_host(report, chain, *manifest, expected) && ok;
  ok = check_origins(report, *manifest, expected, config) && ok;
  if (!ok || !config) {
    report.skip(ok ? "the bridge was not started: there is no usable configuration (see above)"
                   : "the bridge was not started: fix the faults above first");
    return;
  }
  check_answers(
      report, *manifest,
      expected.origins.empty() ? manifest->allowed_origins.front() : expected.origins.front(),
      config_path);
}

}  // namespace varquin::installer
