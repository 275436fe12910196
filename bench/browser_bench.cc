// varquin-browser-bench: the extension's client module in a real headless Chromium. Its MV3
// worker (bench/browser/) uploads a 64 MiB Blob and stages a 64 MiB download through the module,
// against the real bridge and against a host that only answers (Chromium's own floor for those
// messages), and asks a control host to time the same frames written straight to the bridge, run
// after run. Also the worker's renderer's peak RSS above idle during the Blob upload and, with
// --only chunk-sizes, the upload for several chunk sizes and windows. Prints one table.
//
// The same executable is the two helper hosts that Chromium starts: `--host floor` answers every
// request at once; `--host control` serves the worker's requests (clear the store, time the frames
// written straight to the bridge, a fresh managed download, the renderer's memory).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "harness.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "protocol/framing.h"
#include "toolkit/chromium.h"
#include "util/base64.h"

namespace {

using namespace varquin::bench;
namespace fs = std::filesystem;
namespace json = boost::json;

constexpr std::size_t kMiB = 1u << 20;
constexpr std::size_t kFrameLimit = 1'048'576;
constexpr const char* kSchema = "varquin.browser-import.v1";
constexpr const char* kBridgeHost = "com.varquin.browser_bridge";
constexpr const char* kFloorHost = "com.varquin.bench_floor";
constexpr const char* kControlHost = "com.varquin.bench_control";

// ---- Frames on the standard streams, for the helper hosts --------------------------------------

// The next request; none at the end of input and, as the host can only stop then, on a broken
// frame. No length limit of its own: the helper hosts take whatever Chromium sends.
std::optional<std::string> next_request() {
  auto frame = varquin::protocol::read_frame(STDIN_FILENO, UINT32_MAX);
  if (!frame) return std::nullopt;
  return std::move(*frame);
}

void answer(const std::string& payload) {
  std::string frame;
  append_frame(frame, payload);
  write_all_or_die(STDOUT_FILENO, frame);
}

// The text of a string field, found without parsing the whole request: the floor host must cost
// as little as a host can.
std::string field_of(const std::string& request, std::string_view key) {
  const std::string marker = "\"" + std::string(key) + "\":\"";
  const std::size_t at = request.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t start = at + marker.size();
  return request.substr(start, request.find('"', start) - start);
}

// Answers every request with the success it expects, reading nothing else.
int floor_host() {
  static const std::map<std::string, std::string> status_of{
      {"ping", "pong"},
      {"begin_upload", "upload_ready"},
      {"upload_chunk", "chunk_accepted"},
      {"commit_upload", "staged"},
      {"launch_request", "staged_and_launched"},
      {"stage_download", "staged_and_launched"},
      {"cleanup_download_container", "download_container_cleaned"}};
  varquin::platform::widen_pipe(STDIN_FILENO, 1 << 20);  // as the bridge does
  while (auto request = next_request()) {
    const auto status = status_of.find(field_of(*request, "action"));
    answer(R"({"ok":true,"requestId":")" + field_of(*request, "requestId") + R"(","status":")" +
           (status == status_of.end() ? "unknown" : status->second) + "\"}");
  }
  return 0;
}

// ---- The control host ------------------------------------------------------------------------

std::string env_or_die(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') die(std::string(name) + " is not set");
  return value;
}

std::string message(std::string_view action, const std::string& id, const std::string& rest) {
  return std::string(R"({"schema":")") + kSchema + R"(","requestId":")" + id + R"(","action":")" +
         std::string(action) + '"' + rest + '}';
}

// The frames the module sends for an upload of `bytes` in chunks of `chunk_size`: begin_upload,
// the chunks (each no larger than a frame holds), commit_upload, launch_request.
std::pair<std::string, std::size_t> upload_frames(const std::string& bytes,
                                                  std::size_t chunk_size) {
  const std::string id = new_request_id();
  std::string frames;
  std::size_t count = 0;
  auto add = [&](const std::string& payload) {
    append_frame(frames, payload);
    ++count;
  };
  add(message("begin_upload", id,
              R"(,"source":"gmail","originalName":"report.csv","expectedSize":)" +
                  std::to_string(bytes.size())));
  std::size_t offset = 0;
  for (std::uint32_t sequence = 0; offset < bytes.size(); ++sequence) {
    const std::string sequence_text = std::to_string(sequence);
    const std::size_t envelope =
        message("upload_chunk", id, R"(,"sequence":)" + sequence_text + R"(,"data":"")").size();
    const std::size_t step = std::min(chunk_size, (kFrameLimit - envelope) / 4 * 3);
    const std::string_view chunk = std::string_view(bytes).substr(offset, step);
    add(message("upload_chunk", id,
                R"(,"sequence":)" + sequence_text + R"(,"data":")" +
                    varquin::util::encode_base64(std::span<const std::uint8_t>(
                        reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size())) +
                    '"'));
    offset += chunk.size();
  }
  add(message("commit_upload", id, ""));
  add(message("launch_request", id, ""));
  return {frames, count};
}

// Spawn → the last answer, the frames written while a thread reads the answers; every answer
// must be a success. Wall time, and the CPU time of the bridge and of this writer.
std::pair<double, double> time_straight_to_bridge(const std::string& frames, std::size_t count) {
  const double own_cpu = own_cpu_seconds();
  const std::string origin = "chrome-extension://" + env_or_die("VARQUIN_BENCH_EXTENSION_ID") + "/";
  const auto start = Clock::now();
  Child bridge = Child::start({{env_or_die("VARQUIN_BENCH_BRIDGE"), origin},
                               environment_with({}, {}),
                               Stream::Pipe,
                               Stream::Pipe});
  std::string failure;
  std::thread reader([&] {
    for (std::size_t i = 0; i < count; ++i) {
      const std::string reply = read_frame_or_die(bridge.output());
      if (failure.empty() && reply.find(R"("ok":true)") == std::string::npos) failure = reply;
    }
  });
  write_all_or_die(bridge.input(), frames);
  reader.join();
  const double elapsed = seconds_since(start);
  bridge.close_input();
  const ChildExit exit = bridge.wait();
  if (!failure.empty()) die("the bridge refused a frame: " + failure);
  return {elapsed, cpu_seconds(exit.usage) + own_cpu_seconds() - own_cpu};
}

void clear_store() {
  const std::string user_data = env_or_die("VARQUIN_BENCH_USER_DATA");
  for (const char* root : {"/browser-imports", "/browser-import-terminals"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(user_data + root, ec)) {
      if (entry.path().filename() != ".bridge.lock") fs::remove_all(entry.path());
    }
  }
}

// A process's parent and CPU time (its own and that of the children it has waited for), from
// /proc; none where there is no /proc or the process is gone.
struct ProcessStat {
  pid_t parent = 0;
  double cpu = 0;  // seconds
};
std::optional<ProcessStat> stat_of([[maybe_unused]] pid_t pid) {
#if defined(__linux__)
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;  // from the state (field 3) on
  while (fields.size() < 15 && rest >> field) fields.push_back(field);
  if (fields.size() < 15) return std::nullopt;
  double ticks = 0;
  for (int i = 11; i <= 14; ++i) ticks += std::stod(fields[i]);  // utime stime cutime cstime
  return ProcessStat{static_cast<pid_t>(std::stol(fields[1])),
                     ticks / static_cast<double>(::sysconf(_SC_CLK_TCK))};
#else
  return std::nullopt;
#endif
}

// The processes below `ancestor` (itself included), with their stats.
std::map<pid_t, ProcessStat> tree_of(pid_t ancestor) {
  std::map<pid_t, ProcessStat> all, tree;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto stat = stat_of(std::stoi(name))) all[std::stoi(name)] = *stat;
  }
  for (const auto& [pid, stat] : all) {
    for (pid_t p = pid; p > 1;) {
      if (p == ancestor) {
        tree[pid] = stat;
        break;
      }
      auto parent = all.find(p);
      p = parent == all.end() ? 0 : parent->second.parent;
    }
  }
  return tree;
}

// Processes below `ancestor` whose command line has `flag`: Chromium's extension renderer.
std::vector<pid_t> descendants_with(pid_t ancestor, const std::string& flag) {
  std::vector<pid_t> found;
  for (const auto& [pid, stat] : tree_of(ancestor)) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    const std::string args((std::istreambuf_iterator<char>(cmdline)), {});
    if (args.find(flag) != std::string::npos) found.push_back(pid);
  }
  return found;
}

// CPU seconds of the browser and everything it started, hosts that ended included, but for this
// control host: the cost of a run through Chromium.
double browser_cpu_seconds(pid_t browser) {
  double total = 0;
  for (const auto& [pid, stat] : tree_of(browser)) {
    if (pid != ::getpid()) total += stat.cpu;
  }
  return total;
}

std::uint64_t status_kib(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(key + ":"))
      return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
  }
  return 0;
}

// A 64 MiB file in a managed download directory, moved to a fresh request ID on each call.
class Downloads {
 public:
  std::string next() {
    const std::string inbox = env_or_die("VARQUIN_BENCH_HOME") + "/Downloads/Varquin Inbox";
    const std::string fresh = inbox + "/" + new_request_id();
    if (directory_.empty()) {
      fs::create_directories(fresh);
      fs::copy_file(env_or_die("VARQUIN_BENCH_PAYLOAD"), fresh + "/report.csv");
    } else {
      fs::rename(directory_, fresh);
    }
    directory_ = fresh;
    warm_page_cache(fresh + "/report.csv");
    return fresh + "/report.csv";
  }

 private:
  std::string directory_;
};

int control_host() {
  const pid_t browser = ::getppid();  // Chromium starts native hosts from its browser process
  std::optional<std::string> payload;
  Downloads downloads;
  std::vector<pid_t> renderers;
  while (auto request = next_request()) {
    const json::object in = json::parse(*request).as_object();
    const std::string op(in.at("op").as_string());
    json::object out{{"ok", true}};
    if (op == "clear") {
      clear_store();
    } else if (op == "direct-upload") {
      if (!payload) {
        auto read = varquin::platform::read_regular_file(env_or_die("VARQUIN_BENCH_PAYLOAD"),
                                                         kMaxFileBytes);
        if (!read) die("cannot read the payload");
        payload = std::move(*read);
      }
      const auto [frames, count] =
          upload_frames(*payload, static_cast<std::size_t>(in.at("chunkSize").to_number<double>()));
      const auto [wall, cpu] = time_straight_to_bridge(frames, count);
      out["seconds"] = wall;
      out["cpu"] = cpu;
    } else if (op == "direct-download") {
      const std::string path(in.at("path").as_string());
      const std::string id = fs::path(path).parent_path().filename();
      std::string frames;
      append_frame(frames,
                   message("stage_download", id,
                           R"(,"source":"gmail","filePath":)" + json::serialize(json::value(path)) +
                               R"(,"originalName":"report.csv")"));
      const auto [wall, cpu] = time_straight_to_bridge(frames, 1);
      out["seconds"] = wall;
      out["cpu"] = cpu;
    } else if (op == "prepare-download") {
      out["path"] = downloads.next();
    } else if (op == "cpu") {
      out["cpu"] = browser_cpu_seconds(browser);
    } else if (op == "mark") {
      renderers = descendants_with(browser, "--extension-process");
      std::uint64_t rss = 0;
      for (pid_t pid : renderers) {
        std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";  // resets VmHWM
        rss += status_kib(pid, "VmRSS");
      }
      out["supported"] = !renderers.empty();
      out["rss"] = rss * 1024;
      out["processes"] = renderers.size();
    } else if (op == "peak") {
      std::uint64_t hwm = 0;
      for (pid_t pid : renderers) hwm += status_kib(pid, "VmHWM");
      out["hwm"] = hwm * 1024;
    } else {
      out = {{"ok", false}, {"error", "unknown op " + op}};
    }
    answer(json::serialize(out));
  }
  return 0;
}

// ---- The run -----------------------------------------------------------------------------------

struct Options {
  std::string program;  // this executable, which the helper hosts run
  std::string bridge;
  std::string work_parent;
  int runs = 7;
  int sweep_runs = 3;
  std::size_t size = 64 * kMiB;
  std::set<std::string> only;
};

[[noreturn]] void usage() {
  std::cerr << "usage: varquin-browser-bench --bridge PATH [--runs N] [--sweep-runs N]\n"
               "         [--work-dir DIR] [--size BYTES] [--only browser|chunk-sizes]...\n"
               "       varquin-browser-bench --host floor|control\n";
  std::exit(2);
}

std::string extension_id_of(const std::string& manifest) {
  const json::object parsed = json::parse(manifest).as_object();
  auto id = varquin::toolkit::chromium_extension_id(parsed.at("key").as_string());
  if (!id) die("the bench extension's key is not Base64");
  return *id;
}

std::string read_or_die(const std::string& path) {
  auto text = varquin::platform::read_regular_file(path);
  if (!text) die("cannot read " + path);
  return *text;
}

std::vector<double> numbers(const json::value& array, const char* key = nullptr) {
  std::vector<double> out;
  for (const auto& v : array.as_array()) {
    out.push_back((key != nullptr ? v.at(key) : v).to_number<double>());
  }
  return out;
}

std::string ms(double s) {
  return format("%.0f ms", s * 1e3);
}
std::string spread(const std::vector<double>& v) {
  return ms(*std::min_element(v.begin(), v.end())) + " / " + ms(median(v)) + " / " +
         ms(*std::max_element(v.begin(), v.end()));
}
double median_ratio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
  return median(ratios);
}

std::string load_text() {
  std::ifstream in("/proc/loadavg");
  double one_minute = 0;
  if (!(in >> one_minute)) return "";
  return format("; load average %.1f", one_minute) + " on " +
         std::to_string(std::thread::hardware_concurrency()) + " CPUs";
}

// Prints the table; false when a target is missed.
bool print_results(const json::object& r, const Options& options, const std::string& size) {
  bool met = true;
  std::cout << "\nThe extension's client module in headless Chromium (Blob input, "
            << r.at("chunkSize").to_number<std::int64_t>() / 1024 << " KiB chunks, window "
            << r.at("window").to_number<std::int64_t>() << "; " << options.runs
            << " alternating runs, min / median / max" << load_text() << ")\n\n";
  if (r.contains("upload")) {
    std::cout << "| road | through the module | same frames straight to the bridge | "
                 "through the module to a host that only answers (Chromium's floor) | the "
                 "messages alone, encoded beforehand, to that host | module / bridge | module / "
                 "floor | module / messages alone | target | met |\n"
                 "|---|---|---|---|---|---|---|---|---|---|\n";
    for (const char* road : {"upload", "download"}) {
      const auto& t = r.at(road).as_object();
      const bool upload = std::string_view(road) == "upload";
      for (const char* time : {"wall", "cpu"}) {
        const bool wall = std::string_view(time) == "wall";
        const auto module = numbers(t.at("module"), time), direct = numbers(t.at("direct"), time),
                   floor = numbers(t.at("floor"), time);
        // Chromium's CPU time is read from /proc: none where there is none.
        if (!wall && std::all_of(module.begin(), module.end(), [](double v) { return v == 0; })) {
          continue;
        }
        const double to_bridge = median_ratio(module, direct);
        const bool targeted = upload && wall;
        const bool ok = !targeted || to_bridge <= 2.0;
        met = met && ok;
        std::string chromium = "–", to_chromium = "–";
        if (upload) {
          const auto alone = numbers(t.at("chromium"), time);
          chromium = spread(alone);
          to_chromium = format("%.2f", median_ratio(module, alone));
        }
        std::cout << "| " << road << " " << size
                  << (upload ? " (begin → staged_and_launched)" : " (stage_download)")
                  << (wall ? "" : ", CPU time of Chromium and the host") << " | " << spread(module)
                  << " | " << spread(direct) << " | " << spread(floor) << " | " << chromium << " | "
                  << format("%.2f", to_bridge) << " | "
                  << format("%.2f", median_ratio(module, floor)) << " | " << to_chromium << " | "
                  << (targeted ? "≤ 2.00" : "info") << " | "
                  << (targeted ? (ok ? "yes" : "NO") : "–") << " |\n";
      }
    }
    const auto& m = r.at("memory").as_object();
    if (m.at("supported").as_bool()) {
      const double idle = m.at("idle").to_number<double>(), peak = m.at("peak").to_number<double>();
      const double above = peak - idle, allowed = static_cast<double>(options.size);
      met = met && above < allowed;
      std::cout << "\n| memory | renderer peak RSS above idle | limit | ratio | target | met |\n"
                   "|---|---|---|---|---|---|\n"
                << "| " << size << " Blob upload (" << m.at("processes").to_number<std::int64_t>()
                << " extension process) | " << format("%.1f MiB", above / kMiB) << " (idle "
                << format("%.1f", idle / kMiB) << ", peak " << format("%.1f", peak / kMiB) << ") | "
                << size << " (one whole-file copy) | " << format("%.2f", above / allowed)
                << " | < 1 | " << (above < allowed ? "yes" : "NO") << " |\n";
    } else {
      std::cout << "\nmemory: not measured here (needs Linux's /proc)\n";
    }
  }
  if (r.contains("sweep")) {
    const auto& sweep = r.at("sweep").as_object();
    std::cout << "\n| chunk size | window | upload " << size << " through the module, min / "
              << "median / max |\n|---|---|---|\n";
    for (const auto& row : sweep.at("rows").as_array()) {
      const auto& o = row.as_object();
      const auto size_kib = o.at("chunkSize").to_number<std::int64_t>() / 1024;
      std::cout << "| "
                << (size_kib >= 1024 ? std::string("what a frame holds")
                                     : std::to_string(size_kib) + " KiB")
                << " | " << o.at("window").to_number<std::int64_t>() << " | "
                << spread(numbers(o.at("times"))) << " |\n";
    }
    std::cout << "\n| reading the " << size << " Blob in the worker | min / median / max |\n"
              << "|---|---|\n";
    for (const auto& row : sweep.at("reads").as_array()) {
      std::cout << "| " << std::string(row.at("name").as_string()) << " | "
                << spread(numbers(row.at("times"))) << " |\n";
    }
    std::cout << "\n| host that only answers: input | upload " << size
              << ", min / median / max |\n|---|---|\n";
    for (const auto& row : sweep.at("inputs").as_array()) {
      std::cout << "| " << std::string(row.at("name").as_string()) << " | "
                << spread(numbers(row.at("times"))) << " |\n";
    }
    std::cout << "\n| message of Base64 text to the host that only answers | window | ms per "
                 "message | MB/s |\n|---|---|---|---|\n";
    for (const auto& row : sweep.at("messages").as_array()) {
      std::cout << "| " << format("%.0f KiB", row.at("length").to_number<double>() / 1024) << " | "
                << row.at("window").to_number<std::int64_t>() << " | "
                << format("%.1f", row.at("perMessage").to_number<double>()) << " | "
                << format("%.0f", row.at("rate").to_number<double>()) << " |\n";
    }
    std::cout << "\n| Base64 encoder in the worker | MB/s |\n|---|---|\n";
    for (const auto& [name, rate] : sweep.at("encoders").as_object()) {
      std::cout << "| " << std::string(name) << " | " << format("%.0f", rate.to_number<double>())
                << " |\n";
    }
  }
  return met;
}

int run_bench(const Options& options) {
  const auto browser_program = varquin::toolkit::find_chromium();
  if (!browser_program) {
    std::cout << "\nThe extension's client module in Chromium: skipped, no Chromium installed "
                 "(VARQUIN_TEST_BROWSER names one)\n";
    return 0;
  }
  ScratchDirectory scratch(options.work_parent);
  const std::string home = scratch.path() + "/home";
  const std::string profile = home + "/.config/chromium";
  const std::string user_data = scratch.path() + "/user-data";
  const std::string extension = scratch.path() + "/extension";
  const std::string self = fs::canonical(options.program).string();
  fs::create_directories(profile + "/NativeMessagingHosts");
  fs::create_directories(user_data);
  fs::copy(std::string(VARQUIN_SOURCE_DIR) + "/bench/browser", extension);
  fs::copy_file(std::string(VARQUIN_SOURCE_DIR) + "/peers/extension/varquin-bridge.js",
                extension + "/varquin-bridge.js");
  const std::string id = extension_id_of(read_or_die(extension + "/manifest.json"));
  const std::string origin = "chrome-extension://" + id + "/";

  std::cerr << "writing a " << options.size / kMiB << " MiB payload…\n";
  write_file_or_die(extension + "/payload.bin", random_bytes(options.size));
  json::array chunk_sizes{65536, 131072, 262144, 524288, 1 << 20};
  json::object params{{"size", options.size},
                      {"runs", options.runs},
                      {"sweepRuns", options.sweep_runs},
                      {"chunkSizes", chunk_sizes},
                      {"windows", json::array{1, 2, 8}},
                      {"parts", json::array(options.only.begin(), options.only.end())}};
  write_file_or_die(extension + "/params.js", "export default " + json::serialize(params) + ";\n");

  const std::string config = scratch.path() + "/config.json";
  write_file_or_die(config, json::serialize(json::object{
                                {"schema", "varquin.browser-bridge.config.v2"},
                                {"extensionId", id},
                                {"appBundlePath", "/Applications/Varquin.app"},
                                {"electronUserDataPath", user_data},
                                {"allowedExtensionOrigins", json::array{json::value(origin)}}}));
  // Each host's manifest; the helper hosts are this program behind a script that names its role.
  auto register_host = [&](const char* name, const std::string& program) {
    write_file_or_die(
        profile + "/NativeMessagingHosts/" + name + ".json",
        json::serialize(json::object{{"name", name},
                                     {"description", "Varquin benchmark"},
                                     {"path", program},
                                     {"type", "stdio"},
                                     {"allowed_origins", json::array{json::value(origin)}}}));
  };
  register_host(kBridgeHost, options.bridge);
  for (const char* role : {"floor", "control"}) {
    const std::string script = scratch.path() + "/" + role + "-host.sh";
    write_file_or_die(script, "#!/bin/sh\nexec '" + self + "' --host " + role + " \"$@\"\n");
    fs::permissions(script, fs::perms::owner_all);
    register_host(std::string_view(role) == "floor" ? kFloorHost : kControlHost, script);
  }

  const std::vector<std::string> environment = environment_with(
      {"HOME=" + home, "TMPDIR=" + scratch.path(), "VARQUIN_BROWSER_BRIDGE_CONFIG=" + config,
       "VARQUIN_BENCH_BRIDGE=" + options.bridge, "VARQUIN_BENCH_EXTENSION_ID=" + id,
       "VARQUIN_BENCH_USER_DATA=" + user_data, "VARQUIN_BENCH_HOME=" + home,
       "VARQUIN_BENCH_PAYLOAD=" + extension + "/payload.bin"},
      {"VARQUIN_FAKE_OPEN", "XDG_CONFIG_HOME"});
  std::cerr << "starting Chromium…\n";
  varquin::toolkit::ChromiumProcess browser(
      {*browser_program, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--disable-quic", "--enable-logging=stderr", "--js-flags=--expose-gc",
       "--user-data-dir=" + profile, "--load-extension=" + extension},
      environment);
  if (auto failure = browser.failure()) die(*failure);
  for (;;) {
    // A tagged line: its tag, a space, its value.
    auto line = browser.next("VARQUIN_BENCH ", Clock::now() + std::chrono::seconds(600));
    if (!line) die("Chromium ended or went silent before the benchmark finished");
    const std::size_t space = line->find(' ');
    const std::string tag = line->substr(0, space), value = line->substr(space + 1);
    if (tag == "progress") {
      std::cerr << "  " << value << "\n";
    } else if (tag == "error") {
      die("the bench extension failed: " + value);
    } else if (tag == "done") {
      const bool met = print_results(json::parse(value).as_object(), options,
                                     format("%.0f MiB", static_cast<double>(options.size) / kMiB));
      std::cout << "\n" << (met ? "Every target met." : "Some targets NOT met.") << "\n";
      return met ? 0 : 1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.program = argv[0];
  const char* tmp = std::getenv("TMPDIR");
  options.work_parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--host") {
      const std::string role = value();
      if (role == "floor") return floor_host();
      if (role == "control") return control_host();
      usage();
    } else if (arg == "--bridge") {
      options.bridge = value();
    } else if (arg == "--runs") {
      options.runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--sweep-runs") {
      options.sweep_runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--work-dir") {
      options.work_parent = value();
    } else if (arg == "--size") {
      options.size = std::strtoull(value().c_str(), nullptr, 10);
    } else if (arg == "--only") {
      options.only.insert(value());
    } else if (arg == "--startup-runs" || arg == "--micro-json" || arg == "--python-host") {
      (void)value();  // the road bench's options, given to both by scripts/bench.sh
    } else {
      usage();
    }
  }
  if (options.bridge.empty()) usage();
  options.bridge = fs::absolute(options.bridge).string();  // Chromium wants absolute host paths
  // By default the roads and memory; the chunk-size sweep only when asked for.
  static const std::set<std::string> parts{"browser", "chunk-sizes"};
  std::set<std::string> mine;
  for (const auto& part : options.only) {
    if (parts.contains(part)) mine.insert(part);
  }
  if (!options.only.empty() && mine.empty()) return 0;  // only the road bench's parts asked for
  options.only = mine.empty() ? std::set<std::string>{"browser"} : mine;
  ::signal(SIGPIPE, SIG_IGN);
  return run_bench(options);
}
