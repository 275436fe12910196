#include "common.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "json/writer.h"
#include "platform/clock.h"
#include "toolkit/fs.h"
#include "util/base64.h"
#include "util/rfc3339.h"
#include "util/sha256.h"
#include "util/uuid.h"

namespace varquin::stress {

namespace {

std::span<const std::uint8_t> as_bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string Rng::bytes(std::size_t count) {
  std::string out(count, '\0');
  for (std::size_t i = 0; i < count; i += 8) {
    std::uint64_t word = next();
    for (std::size_t j = i; j < count && j < i + 8; ++j) {
      out[j] = static_cast<char>(word & 0xFF);
      word >>= 8;
    }
  }
  return out;
}

std::string Rng::request_id() {
  util::Uuid uuid;
  for (std::size_t i = 0; i < uuid.size(); ++i) uuid[i] = static_cast<std::uint8_t>(below(256));
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);
  std::string text = util::format_uuid_hyphenated(uuid);
  if (chance(10)) {
    for (char& c : text) {
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

std::uint64_t derive_seed(std::uint64_t seed, std::string_view label, std::uint64_t index) {
  // FNV-1a over the label, mixed with the seed and the index by splitmix64.
  std::uint64_t hash = 1469598103934665603ULL;
  for (char c : label) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  std::uint64_t z = seed ^ hash ^ (index * 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Home::Home() {
  testing::make_directories(user_data());
  testing::make_directories(inbox());
  testing::make_directories(dir_ / "scratch");
  testing::write_config_file(dir_ / "config.json", user_data());

  // The trees nothing may touch: files, a nested directory, a link, odd modes.
  for (const std::string& base : {outside_sentinel(), inside_sentinel()}) {
    testing::make_directories(base + "/nested/deeper");
    testing::write_file(base + "/precious.csv", "id,value\n1,precious\n");
    testing::write_file(base + "/nested/deeper/data.dta", std::string(4096, '\x5a'));
    testing::write_file(base + "/request.json", "{\"not\":\"a manifest\"}\n");
    ::chmod((base + "/nested/deeper/data.dta").c_str(), 0444);
    if (::symlink("precious.csv", (base + "/alias.csv").c_str()) != 0) {
      std::fprintf(stderr, "varquin-stress: cannot plant a link in %s\n", base.c_str());
      std::abort();
    }
  }
}

std::map<std::string, std::string> Home::environment(
    const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> env{{"HOME", root()},
                                         {"VARQUIN_BROWSER_BRIDGE_CONFIG", dir_ / "config.json"},
                                         {"VARQUIN_FAKE_OPEN_LOG", launcher_log()},
                                         {"PATH", "/usr/bin:/bin"}};
  // A sanitizer build keeps its own settings; the shim needs the link-order check off.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TMPDIR"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  for (const auto& [key, value] : extra) env[key] = value;
  return env;
}

void Home::reset_store() const {
  for (const std::string& name : testing::list_names(user_data())) {
    if (name == "sentinel") continue;
    std::string path = user_data() + "/" + name;
    std::string command = "chmod -R u+rwx '" + path + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
    }
    (void)toolkit::remove_tree(path);
  }
}

std::optional<Answer> parse_answer(const std::string& payload) {
  boost::system::error_code error;
  boost::json::value value = boost::json::parse(payload, error);
  if (error || !value.is_object()) return std::nullopt;
  const auto& object = value.as_object();
  Answer answer;
  answer.raw = payload;
  const auto* ok = object.if_contains("ok");
  if (ok == nullptr || !ok->is_bool()) return std::nullopt;
  answer.ok = ok->as_bool();
  if (const auto* id = object.if_contains("requestId"); id && id->is_string()) {
    answer.request_id = std::string(id->as_string());
  }
  if (const auto* status = object.if_contains("status"); status && status->is_string()) {
    answer.status = std::string(status->as_string());
  }
  if (const auto* reused = object.if_contains("reused"); reused && reused->is_bool()) {
    answer.reused = reused->as_bool();
  }
  if (const auto* code = object.if_contains("code"); code && code->is_string()) {
    answer.code = std::string(code->as_string());
  }
  if (const auto* retryable = object.if_contains("retryable"); retryable && retryable->is_bool()) {
    answer.retryable = retryable->as_bool();
  }
  return answer;
}

Session run_session(const Programs& programs, const std::map<std::string, std::string>& env,
                    const std::vector<std::string>& requests, int timeout_seconds) {
  testing::BridgeRun run;
  run.executable = programs.bridge;
  run.arguments = {testing::kOrigin};
  run.environment = env;
  for (const std::string& r : requests) run.input += testing::frame(r);
  Session session;
  session.raw = testing::run_bridge(run, timeout_seconds);
  for (const std::string& payload : testing::unframe(session.raw.output)) {
    session.answers.push_back(parse_answer(payload));
  }
  return session;
}

std::map<std::string, std::string> with_shim(std::map<std::string, std::string> env,
                                             const Programs& programs, const FaultPlan& plan) {
  env["LD_PRELOAD"] = programs.shim;
  std::string asan = env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "";
  env["ASAN_OPTIONS"] = asan + "verify_asan_link_order=0";
  env["VARQUIN_FAULT_PREFIX"] = plan.prefix;
  env["VARQUIN_FAULT_KIND"] = plan.kinds;
  env["VARQUIN_FAULT_NTH"] = std::to_string(plan.nth);
  env["VARQUIN_FAULT_TIMES"] = std::to_string(plan.times);
  env["VARQUIN_FAULT_ACTION"] = plan.action;
  env["VARQUIN_FAULT_ERRNO"] = std::to_string(plan.error);
  if (plan.kill_after_ns > 0) {
    env["VARQUIN_FAULT_KILL_AFTER_NS"] = std::to_string(plan.kill_after_ns);
  }
  if (plan.stall_ms > 0) env["VARQUIN_FAULT_STALL_MS"] = std::to_string(plan.stall_ms);
  if (!plan.trace.empty()) env["VARQUIN_FAULT_TRACE"] = plan.trace;
  if (!plan.lock_log.empty()) env["VARQUIN_FAULT_LOCK_LOG"] = plan.lock_log;
  return env;
}

long long monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

LockLog read_lock_log(const std::string& path) {
  LockLog log;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string what;
    int pid = 0;
    Interval interval;
    fields >> what >> pid >> interval.from >> interval.to;
    if (what == "hold") log.holds.push_back(interval);
    if (what == "wait") log.waits.push_back(interval);
    if (what == "gave-up") log.gave_up.push_back(interval);
  }
  return log;
}

std::vector<TraceLine> read_trace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::ifstream in(path);
  for (std::string text; std::getline(in, text);) {
    std::istringstream fields(text);
    TraceLine line;
    std::string first;
    fields >> first;
    if (first == "fault" || first == "kill" || first == "stall") {
      line.tag = first;
      fields >> line.index >> line.kind;
      if (first == "fault" || first == "stall") {
        int error = 0;
        fields >> error;
      } else {
        std::string when;
        fields >> when;
        line.kind += " " + when;
      }
    } else {
      line.tag = "call";
      line.index = std::strtol(first.c_str(), nullptr, 10);
      fields >> line.kind >> line.nanoseconds;
    }
    std::getline(fields >> std::ws, line.path);
    lines.push_back(std::move(line));
  }
  return lines;
}

void Ledger::add(const std::string& section, const std::string& figure, std::uint64_t amount) {
  std::lock_guard guard(mutex_);
  if (!figures_.count(section) && !notes_.count(section)) sections_.push_back(section);
  auto& list = figures_[section];
  for (auto& [name, value] : list) {
    if (name == figure) {
      value += amount;
      return;
    }
  }
  list.emplace_back(figure, amount);
}

void Ledger::maximum(const std::string& section, const std::string& figure, std::uint64_t value) {
  std::lock_guard guard(mutex_);
  if (!figures_.count(section) && !notes_.count(section)) sections_.push_back(section);
  auto& list = figures_[section];
  for (auto& [name, current] : list) {
    if (name == figure) {
      current = std::max(current, value);
      return;
    }
  }
  list.emplace_back(figure, value);
}

void Ledger::note(const std::string& section, const std::string& text) {
  std::lock_guard guard(mutex_);
  if (!figures_.count(section) && !notes_.count(section)) sections_.push_back(section);
  notes_[section].push_back(text);
}

void Ledger::violation(const std::string& section, const std::string& text) {
  std::lock_guard guard(mutex_);
  violations_.push_back("[" + section + "] " + text);
}

bool Ledger::expect(bool condition, const std::string& section, const std::string& text) {
  if (!condition) violation(section, text);
  return condition;
}

std::uint64_t Ledger::get(const std::string& section, const std::string& figure) const {
  std::lock_guard guard(mutex_);
  auto found = figures_.find(section);
  if (found == figures_.end()) return 0;
  for (const auto& [name, value] : found->second) {
    if (name == figure) return value;
  }
  return 0;
}

std::size_t Ledger::violations() const {
  std::lock_guard guard(mutex_);
  return violations_.size();
}

void Ledger::print(std::FILE* out) const {
  std::lock_guard guard(mutex_);
  constexpr int kWidth = 58;
  for (const std::string& section : sections_) {
    std::fprintf(out, "\n%s\n", section.c_str());
    if (auto found = figures_.find(section); found != figures_.end()) {
      for (const auto& [name, value] : found->second) {
        std::fprintf(out, "  %-*s %12llu\n", kWidth, name.c_str(),
                     static_cast<unsigned long long>(value));
      }
    }
    if (auto found = notes_.find(section); found != notes_.end()) {
      for (const std::string& text : found->second) std::fprintf(out, "  - %s\n", text.c_str());
    }
  }
  std::fprintf(out, "\nbroken invariants: %zu\n", violations_.size());
  constexpr std::size_t kShown = 40;
  for (std::size_t i = 0; i < violations_.size() && i < kShown; ++i) {
    std::fprintf(out, "  ! %s\n", violations_[i].c_str());
  }
  if (violations_.size() > kShown) {
    std::fprintf(out, "  ... and %zu more\n", violations_.size() - kShown);
  }
}

std::string sha256_of(const std::string& bytes) {
  return util::sha256_hex(as_bytes(bytes));
}

std::string rfc3339_seconds_ago(std::int64_t seconds) {
  platform::WallTime now = platform::utc_now();
  now.seconds -= seconds;
  return util::format_rfc3339_offset(now);
}

bool age_path(const std::string& path, std::int64_t seconds) {
  platform::WallTime now = platform::utc_now();
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(now.seconds - seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

Swapper::Swapper(Targets targets, std::uint64_t seed) : targets_(std::move(targets)), rng_(seed) {}

Swapper::~Swapper() {
  if (thread_.joinable()) stop();
}

void Swapper::start() {
  thread_ = std::thread([this] { loop(); });
}

void Swapper::stop() {
  stop_ = true;
  thread_.join();
}

void Swapper::loop() {
  while (!stop_) {
    for (const SwapTarget& target : targets_()) swap_once(target);
  }
}

void Swapper::swap_once(const SwapTarget& swap) {
  const std::string& target = swap.path;
  const std::string link = target + ".swap";
  if (::symlink(swap.bait.c_str(), link.c_str()) != 0) return;
  if (::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    ++swaps_;
    for (auto spin = rng_.below(2000); spin > 0; --spin) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    // The real entry returns to its name; if the bridge moved the link away meanwhile, the name
    // is free and a plain rename does it.
    if (::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
      (void)::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    }
  }
  // Only ever the link: the real entry must not be removed by the racer itself.
  struct stat info {};
  if (::lstat(link.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) (void)::unlink(link.c_str());
}

}  // namespace varquin::stress
