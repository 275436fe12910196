#include "roads.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/json.hpp>
#include <optional>
#include <thread>

#include "platform/copy.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "staging/paths.h"
#include "toolkit/fs.h"
#include "util/base64.h"
#include "util/sha256.h"

namespace varquin::bench {

namespace {

constexpr std::string_view kExtensionId = "abcdefghijklmnopabcdefghijklmnop";
constexpr std::string_view kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr std::uint32_t kFrameLimit = 1'048'576;

std::string request(std::string_view action, const std::string& id, std::string_view rest = {}) {
  std::string json = R"({"action":")";
  json += action;
  json += R"(","schema":"varquin.browser-import.v1","requestId":")";
  json += id;
  json += '"';
  json += rest;
  json += '}';
  return json;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The largest raw chunk whose Base64 text keeps an upload_chunk frame within the limit.
std::size_t chunk_bytes_for(const std::string& id) {
  const std::size_t empty =
      request("upload_chunk", id, R"(,"sequence":4294967295,"data":"")").size();
  return (kFrameLimit - empty) / 4 * 3;
}

struct UploadFrames {
  std::string id;
  std::string bytes;  // every frame, begin_upload to commit_upload
  std::size_t count = 0;
};

UploadFrames upload_frames(std::string_view attachment) {
  UploadFrames frames;
  frames.id = new_request_id();
  auto add = [&](const std::string& payload) {
    if (payload.size() > kFrameLimit) die("a prepared frame is too large");
    append_frame(frames.bytes, payload);
    ++frames.count;
  };
  add(request("begin_upload", frames.id,
              R"(,"source":"gmail","originalName":"report.csv","expectedSize":)" +
                  std::to_string(attachment.size())));
  const std::size_t step = chunk_bytes_for(frames.id);
  std::uint32_t sequence = 0;
  for (std::size_t offset = 0; offset < attachment.size(); offset += step) {
    const std::string_view chunk = attachment.substr(offset, step);
    add(request("upload_chunk", frames.id,
                R"(,"sequence":)" + std::to_string(sequence++) + R"(,"data":")" +
                    util::encode_base64(bytes_of(chunk)) + '"'));
  }
  add(request("commit_upload", frames.id));
  return frames;
}

ChildCommand command(std::vector<std::string> argv) {
  return {std::move(argv), environment_with({}, {}), Stream::DevNull, Stream::DevNull};
}

// The bytes written from memory into a new file and made durable: the floor of staging them.
CommandTime time_write_and_sync(const std::string& path, std::string_view bytes) {
  const double cpu = own_cpu_seconds();
  const auto start = Clock::now();
  auto file = toolkit::create_exclusive_file(path);
  if (!file || !platform::write_all(file->get(), bytes_of(bytes)) ||
      !platform::full_sync(file->get())) {
    die("cannot write " + path);
  }
  file->reset();
  const CommandTime time{seconds_since(start), own_cpu_seconds() - cpu};
  (void)toolkit::remove_file(path);
  return time;
}

// The frames piped through `cat > /dev/null`; cat is started and settled before the clock starts,
// as the bridge is.
CommandTime time_cat(std::string_view frames) {
  Child cat = Child::start({{"cat"}, environment_with({}, {}), Stream::Pipe, Stream::DevNull});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = Clock::now();
  write_all_or_die(cat.input(), frames);
  const ChildExit exit = cat.wait();
  return {seconds_since(start), cpu_seconds(exit.usage)};
}

struct BridgeEnd {
  std::uint64_t peak_rss = 0;  // bytes
  double cpu = 0;              // seconds over its whole life; start-up and a ping take ~1 ms
};

// Ends a bridge that is done with its work: its peak RSS, read while it still lives, and its CPU
// time.
BridgeEnd finish_bridge(Child& bridge) {
  const std::optional<std::uint64_t> live = peak_rss_since_exec(bridge.pid());
  const ChildExit exit = bridge.wait();
  if (!WIFEXITED(exit.status) || WEXITSTATUS(exit.status) != 0) die("the bridge failed");
  return {live ? *live : peak_rss_bytes(exit.usage), cpu_seconds(exit.usage)};
}

// The stage holds the expected bytes and its manifest their digest: a fast bridge must still be a
// correct one. Checked once per road, outside the clock.
void verify_stage(const BenchStore& store, const std::string& id, const std::string& bytes) {
  const std::string stage = store.imports_root() + "/" + id;
  auto manifest_text = platform::read_regular_file(stage + "/request.json");
  auto staged = platform::read_regular_file(stage + "/report.csv", kMaxFileBytes);
  if (!manifest_text || !staged) die("the stage of " + id + " is incomplete");
  boost::system::error_code ec;
  const auto manifest = boost::json::parse(*manifest_text, ec);
  const auto* digest = manifest.is_object() ? manifest.as_object().if_contains("sha256") : nullptr;
  const std::string expected = util::sha256_hex(bytes_of(bytes));
  if (ec || !digest || !digest->is_string() || digest->as_string() != expected) {
    die("the manifest of " + id + " does not hold the digest of the attachment");
  }
  if (*staged != bytes) die("the staged file of " + id + " differs from the attachment");
}

// Collects one run after another: the bridge, then each part of the limit.
class RunLog {
 public:
  explicit RunLog(std::vector<std::string> part_names) : names_(std::move(part_names)) {
    parts_.resize(names_.size());
  }

  void bridge(double wall, double cpu) {
    bridge_wall_.push_back(wall);
    bridge_cpu_.push_back(cpu);
    limit_wall_.push_back(0);
    limit_cpu_.push_back(0);
  }
  void part(std::size_t index, CommandTime time) {
    parts_[index].push_back(time.wall);
    limit_wall_.back() += time.wall;
    limit_cpu_.back() += time.cpu;
  }

  Comparison summary() const {
    Comparison c;
    c.bridge = {median(bridge_wall_), median(bridge_cpu_)};
    c.limit = {median(limit_wall_), median(limit_cpu_)};
    std::vector<double> ratios;
    for (std::size_t i = 0; i < bridge_wall_.size(); ++i) {
      ratios.push_back(bridge_wall_[i] / limit_wall_[i]);
    }
    c.ratio = median(ratios);
    for (std::size_t p = 0; p < names_.size(); ++p) {
      c.limit_parts.emplace_back(names_[p], median(parts_[p]));
    }
    return c;
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::vector<double>> parts_;
  std::vector<double> bridge_wall_, bridge_cpu_, limit_wall_, limit_cpu_;
};

// A file of `size` bytes in "<root>/Downloads/Varquin Inbox/<request ID>/report.csv", moved to a
// new request ID for each run so that it stays in the page cache.
class ManagedDownload {
 public:
  ManagedDownload(const std::string& root, std::size_t size)
      : inbox_(root + "/Downloads/" + std::string(staging::kManagedContainerName)) {
    if (!toolkit::create_directories(inbox_)) die("cannot create " + inbox_);
    id_ = new_request_id();
    if (!toolkit::create_directory(directory())) die("cannot create " + directory());
    content_ = random_bytes(size);
    write_file_or_die(file(), content_);
  }

  void next_request() {
    const std::string old_directory = directory();
    id_ = new_request_id();
    if (!toolkit::rename_path(old_directory, directory())) die("cannot rename " + old_directory);
    warm_page_cache(file());
  }

  const std::string& id() const { return id_; }
  const std::string& content() const { return content_; }
  std::string directory() const { return inbox_ + "/" + id_; }
  std::string file() const { return directory() + "/report.csv"; }

 private:
  std::string inbox_;
  std::string id_;
  std::string content_;
};

// The framed "stage_download" request for the managed download's current file.
std::string stage_download_frame(const ManagedDownload& download) {
  std::string frame;
  append_frame(frame, request("stage_download", download.id(),
                              R"(,"source":"gmail","filePath":")" + download.file() +
                                  R"(","originalName":"report.csv")"));
  return frame;
}

}  // namespace

BenchStore::BenchStore(const std::string& work_parent, const std::string& bridge)
    : scratch_(work_parent), bridge_(bridge), user_data_(scratch_.path() + "/user-data") {
  const std::string config = scratch_.path() + "/config.json";
  boost::json::object json;
  json["schema"] = "varquin.browser-bridge.config.v2";
  json["extensionId"] = kExtensionId;
  json["appBundlePath"] = "/Applications/Varquin.app";
  json["electronUserDataPath"] = user_data_;
  json["allowedExtensionOrigins"] = boost::json::array{kOrigin};
  write_file_or_die(config, boost::json::serialize(json));
  // The stand-in launcher only exits; none of its test switches may leak in from outside.
  environment_ =
      environment_with({"VARQUIN_BROWSER_BRIDGE_CONFIG=" + config}, {"VARQUIN_FAKE_OPEN"});
}

ChildCommand BenchStore::bridge_command() const {
  return {{bridge_, std::string(kOrigin)}, environment_, Stream::Pipe, Stream::Pipe};
}

Child BenchStore::start_ready_bridge() const {
  Child bridge = Child::start(bridge_command());
  write_all_or_die(bridge.input(), ping_frame());
  expect_status(read_frame_or_die(bridge.output()), "pong");
  return bridge;
}

std::string ping_frame() {
  std::string frame;
  append_frame(frame, request("ping", "00000000-0000-4000-8000-000000000000"));
  return frame;
}

void expect_status(const std::string& answer, std::string_view status) {
  boost::system::error_code ec;
  auto json = boost::json::parse(answer, ec);
  const auto* object = json.if_object();
  const auto* ok = object ? object->if_contains("ok") : nullptr;
  const auto* got = object ? object->if_contains("status") : nullptr;
  if (ec || !ok || !ok->is_bool() || !ok->get_bool() || !got || !got->is_string() ||
      got->get_string() != status) {
    die("expected \"" + std::string(status) + "\", the bridge answered " + answer);
  }
}

Comparison measure_upload(const BenchStore& store, std::size_t size, int runs) {
  const std::string attachment = random_bytes(size);
  const std::string attachment_path = store.root() + "/attachment.bin";
  write_file_or_die(attachment_path, attachment);
  warm_page_cache(attachment_path);

  RunLog log({"cat>/dev/null", "openssl dgst", "write+fsync"});
  std::uint64_t peak_rss = 0;
  for (int run = 0; run < runs; ++run) {
    const UploadFrames frames = upload_frames(attachment);

    // The answers are few and small (under 100 bytes each): they fit the pipe while every frame
    // is written, so one thread can write all the frames and then read the answers.
    Child bridge = store.start_ready_bridge();
    const auto start = Clock::now();
    write_all_or_die(bridge.input(), frames.bytes);
    for (std::size_t i = 0; i + 1 < frames.count; ++i) {
      expect_status(read_frame_or_die(bridge.output()), i == 0 ? "upload_ready" : "chunk_accepted");
    }
    const std::string committed = read_frame_or_die(bridge.output());
    const double wall = seconds_since(start);
    expect_status(committed, "staged");
    const BridgeEnd end = finish_bridge(bridge);
    peak_rss = std::max(peak_rss, end.peak_rss);
    log.bridge(wall, end.cpu);
    if (run == 0) verify_stage(store, frames.id, attachment);
    remove_tree_or_die(store.imports_root() + "/" + frames.id);

    log.part(0, time_cat(frames.bytes));
    log.part(1, time_command(command({"openssl", "dgst", "-sha256", attachment_path})));
    log.part(2, time_write_and_sync(store.root() + "/written.bin", attachment));
  }
  Comparison result = log.summary();
  result.peak_rss = peak_rss;
  return result;
}

DownloadComparison measure_download(const BenchStore& store, std::size_t size, int runs) {
  ManagedDownload download(store.root(), size);
  const std::string copy = store.root() + "/copy.csv";
  RunLog one_pass({"openssl dgst", "cp", "sync FILE"});
  RunLog floor({"openssl dgst", "openssl dgst again", "cp", "sync FILE"});
  for (int run = 0; run < runs; ++run) {
    download.next_request();
    const std::string frame = stage_download_frame(download);
    Child bridge = store.start_ready_bridge();
    const auto start = Clock::now();
    write_all_or_die(bridge.input(), frame);
    const std::string answer = read_frame_or_die(bridge.output());
    const double wall = seconds_since(start);
    expect_status(answer, "staged_and_launched");
    const BridgeEnd end = finish_bridge(bridge);
    one_pass.bridge(wall, end.cpu);
    floor.bridge(wall, end.cpu);
    if (run == 0) verify_stage(store, download.id(), download.content());
    remove_tree_or_die(store.imports_root() + "/" + download.id());

    const CommandTime cp = time_command(command({"cp", download.file(), copy}));
    const CommandTime sync = time_command(command({"sync", copy}));
    (void)toolkit::remove_file(copy);
    const CommandTime hash = time_command(command({"openssl", "dgst", "-sha256", download.file()}));
    const CommandTime again =
        time_command(command({"openssl", "dgst", "-sha256", download.file()}));
    one_pass.part(0, hash);
    one_pass.part(1, cp);
    one_pass.part(2, sync);
    floor.part(0, hash);
    floor.part(1, again);
    floor.part(2, cp);
    floor.part(3, sync);
  }
  return {one_pass.summary(), floor.summary()};
}

namespace {

// Watches the staging lock from outside while a bridge works: tries it without waiting, every
// 100 µs, and keeps the longest stretch during which someone else held it. A try that succeeds
// lets go at once; it can only make the bridge wait a poll longer, never change how long it holds.
class LockProbe {
 public:
  explicit LockProbe(const std::string& lock_file)
      : fd_(::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (!fd_.valid()) die("cannot open " + lock_file);
    thread_ = std::thread([this] { watch(); });
  }
  ~LockProbe() { stop(); }

  // The longest hold seen, in seconds.
  double stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    return longest_;
  }

 private:
  void watch() {
    std::optional<Clock::time_point> held_since;
    while (!stop_) {
      const auto now = Clock::now();
      if (platform::try_lock_exclusive(fd_.get())) {
        (void)platform::unlock(fd_.get());
        if (held_since) longest_ = std::max(longest_, seconds_between(*held_since, now));
        held_since.reset();
      } else if (!held_since) {
        held_since = now;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  static double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  }

  platform::UniqueFd fd_;
  std::atomic<bool> stop_{false};
  double longest_ = 0;
  std::thread thread_;
};

// One directory sync on the store's file system, as publishing makes it.
double time_directory_sync(const std::string& directory) {
  const auto opened = platform::Directory::open(directory);
  if (!opened) die("cannot open " + directory);
  const auto start = Clock::now();
  if (!platform::full_sync(opened->fd())) die("cannot sync " + directory);
  return seconds_since(start);
}

}  // namespace

LockHold measure_lock_hold(const BenchStore& store, std::size_t size, int runs) {
  const std::string attachment = random_bytes(size);
  ManagedDownload download(store.root(), size);
  if (!toolkit::create_directories(store.imports_root())) die("cannot create the imports root");
  const std::string lock_file = store.imports_root() + "/.bridge.lock";
  std::vector<double> upload, down, syncs;
  for (int run = 0; run < runs; ++run) {
    const UploadFrames frames = upload_frames(attachment);
    Child bridge = store.start_ready_bridge();
    {
      LockProbe probe(lock_file);
      write_all_or_die(bridge.input(), frames.bytes);
      std::string answer;
      for (std::size_t i = 0; i < frames.count; ++i) answer = read_frame_or_die(bridge.output());
      expect_status(answer, "staged");
      upload.push_back(probe.stop());
    }
    (void)finish_bridge(bridge);
    remove_tree_or_die(store.imports_root() + "/" + frames.id);

    download.next_request();
    const std::string frame = stage_download_frame(download);
    Child downloader = store.start_ready_bridge();
    {
      LockProbe probe(lock_file);
      write_all_or_die(downloader.input(), frame);
      expect_status(read_frame_or_die(downloader.output()), "staged_and_launched");
      down.push_back(probe.stop());
    }
    (void)finish_bridge(downloader);
    remove_tree_or_die(store.imports_root() + "/" + download.id());
    syncs.push_back(time_directory_sync(store.imports_root()));
  }
  return {median(upload), *std::max_element(upload.begin(), upload.end()), median(down),
          *std::max_element(down.begin(), down.end()), median(syncs)};
}

StartupComparison measure_startup(const BenchStore& store, int runs,
                                  const std::string& python_host) {
  const std::string ping = ping_frame();
  const bool with_python = !python_host.empty() && ::access(python_host.c_str(), R_OK) == 0 &&
                           find_in_path("python3").has_value();
  auto time_host = [&](const ChildCommand& invocation) {
    const auto start = Clock::now();
    Child host = Child::start(invocation);
    write_all_or_die(host.input(), ping);
    const std::string answer = read_frame_or_die(host.output());
    const double elapsed = seconds_since(start);
    expect_status(answer, "pong");
    host.wait();
    return elapsed;
  };
  ChildCommand python = store.bridge_command();
  python.argv = {"python3", python_host, std::string(kOrigin)};

  std::vector<double> bridge, true_program, python_times;
  for (int run = 0; run < runs; ++run) {
    true_program.push_back(time_command(command({"/bin/true"})).wall);
    bridge.push_back(time_host(store.bridge_command()));
    if (with_python) python_times.push_back(time_host(python));
  }
  return {median(bridge), median(true_program), median(python_times), with_python};
}

std::uint64_t idle_rss(const BenchStore& store, int runs) {
  std::vector<double> peaks;
  for (int run = 0; run < runs; ++run) {
    Child bridge = store.start_ready_bridge();
    peaks.push_back(static_cast<double>(finish_bridge(bridge).peak_rss));
  }
  return static_cast<std::uint64_t>(median(peaks));
}

std::string copy_path_of(const BenchStore& store) {
  const std::string from = store.root() + "/clone-probe-source";
  const std::string to = store.root() + "/clone-probe-target";
  write_file_or_die(from, "probe");
  auto source = toolkit::open_read_only(from);
  auto directory = platform::Directory::open(store.root());
  if (!source || !directory) die("cannot probe cloning in " + store.root());
  auto target = directory->create_file("clone-probe-target");
  if (!target) die("cannot probe cloning in " + store.root());
  auto cloned = platform::clone_file(source->get(), *target, *directory, "clone-probe-target");
  (void)toolkit::remove_file(from);
  (void)toolkit::remove_file(to);
  if (!cloned) return "clone failed: " + cloned.error().text();
  return *cloned ? "clone + re-hash of the copy" : "stream copy, hashed on the way (no clones)";
}

}  // namespace varquin::bench
