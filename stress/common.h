// What every stress scenario shares: a seeded random source, a private home with a store and
// sentinel trees, request builders, running the real bridge through pipes, and the ledger of
// figures and broken invariants that ends up in the report.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/bridge_process.h"
#include "support/requests.h"
#include "support/test_support.h"

namespace varquin::stress {

// Executables and the shim, fixed at build time and overridable on the command line.
struct Programs {
  std::string bridge;
  std::string shim;
};

// A seeded generator; every random choice of a run comes from one of these, so a seed replays it.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}
  std::uint64_t next() { return engine_(); }
  std::uint64_t below(std::uint64_t bound) { return bound == 0 ? 0 : next() % bound; }
  bool chance(unsigned percent) { return below(100) < percent; }
  std::string bytes(std::size_t count);
  // A version-4 UUID in canonical form; upper-case letters now and then, which the bridge must
  // keep as sent.
  std::string request_id();

 private:
  std::mt19937_64 engine_;
};

// A seed for one part of a run, derived from the run's seed and a label, so that scenarios and
// trials can be replayed on their own.
std::uint64_t derive_seed(std::uint64_t seed, std::string_view label, std::uint64_t index = 0);

// A private home: configuration, user-data directory with the store, the managed download folder
// and two sentinel trees that nothing may touch (one beside the store, one elsewhere).
class Home {
 public:
  Home();

  const std::string& root() const { return dir_.path(); }
  std::string user_data() const { return dir_ / "userdata"; }
  std::string imports() const { return user_data() + "/browser-imports"; }
  std::string terminals() const { return user_data() + "/browser-import-terminals"; }
  std::string inbox() const { return dir_ / "Downloads/Varquin Inbox"; }
  std::string outside_sentinel() const { return dir_ / "sentinel"; }
  std::string inside_sentinel() const { return user_data() + "/sentinel"; }
  std::string launcher_log() const { return dir_ / "launcher.log"; }
  std::string scratch(const std::string& name) const { return dir_ / ("scratch/" + name); }

  // The environment of a bridge child; `extra` is added on top.
  std::map<std::string, std::string> environment(
      const std::map<std::string, std::string>& extra = {}) const;

  // A fresh store: the user-data directory emptied but for its sentinel.
  void reset_store() const;

 private:
  testing::TempDir dir_;
};

// One parsed response frame.
struct Answer {
  bool ok = false;
  std::optional<std::string> request_id;
  std::string status;
  std::optional<bool> reused;
  std::string code;
  std::optional<bool> retryable;
  std::string raw;
};

std::optional<Answer> parse_answer(const std::string& payload);

namespace request = testing::request;

// The result of one bridge process.
struct Session {
  std::vector<std::optional<Answer>> answers;  // one per response frame, in order
  testing::BridgeResult raw;
  bool killed() const { return raw.exit_status == 128 + 9; }
};

// Runs the bridge once with `requests` framed on stdin, and waits for it.
Session run_session(const Programs& programs, const std::map<std::string, std::string>& env,
                    const std::vector<std::string>& requests, int timeout_seconds = 60);

// The shim's settings for one bridge process (see faultshim.cc).
struct FaultPlan {
  std::string prefix;
  std::string kinds;
  long nth = 0;
  long times = 1;
  std::string action = "fail";
  int error = 5;
  long long kill_after_ns = 0;
  long stall_ms = 0;
  std::string trace;
  std::string lock_log;
};

// `env` plus what loads and configures the shim.
std::map<std::string, std::string> with_shim(std::map<std::string, std::string> env,
                                             const Programs& programs, const FaultPlan& plan);

// One line of a shim trace: "<index> <kind> <ns> <path>", or the "fault"/"kill" record.
struct TraceLine {
  std::string tag;  // "call", "fault", "kill" or "stall"
  long index = 0;
  std::string kind;
  long long nanoseconds = 0;  // CLOCK_MONOTONIC, calls only
  std::string path;
};
std::vector<TraceLine> read_trace(const std::string& path);

long long monotonic_ns();  // CLOCK_MONOTONIC, as the shim logs it

struct Interval {
  long long from = 0, to = 0;
  long long length() const { return to - from; }
};

// The shim's staging-lock log: every hold, every wait that ended in the lock, every wait that
// gave up.
struct LockLog {
  std::vector<Interval> holds, waits, gave_up;
};
LockLog read_lock_log(const std::string& path);

// Counters for the report and the list of broken invariants. Shared by threads.
class Ledger {
 public:
  void add(const std::string& section, const std::string& figure, std::uint64_t amount = 1);
  void maximum(const std::string& section, const std::string& figure, std::uint64_t value);
  void note(const std::string& section, const std::string& text);
  void violation(const std::string& section, const std::string& text);
  // Fails when `condition` is false; returns it.
  bool expect(bool condition, const std::string& section, const std::string& text);

  std::uint64_t get(const std::string& section, const std::string& figure) const;
  std::size_t violations() const;
  void print(std::FILE* out) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> sections_;
  std::map<std::string, std::vector<std::pair<std::string, std::uint64_t>>> figures_;
  std::map<std::string, std::vector<std::string>> notes_;
  std::vector<std::string> violations_;
};

// A racing process of the same user: until stopped, it keeps exchanging each target path for a link
// to its bait and back, each time by one atomic rename (Linux's RENAME_EXCHANGE), so the name never
// goes missing, and holds the link there for a random moment. The targets are asked for anew on
// every pass, so they may be entries that come and go.
struct SwapTarget {
  std::string path;
  std::string bait;
};

class Swapper {
 public:
  using Targets = std::function<std::vector<SwapTarget>()>;
  Swapper(Targets targets, std::uint64_t seed);
  ~Swapper();
  Swapper(const Swapper&) = delete;
  Swapper& operator=(const Swapper&) = delete;

  void start();
  void stop();
  std::uint64_t swaps() const { return swaps_; }

 private:
  void loop();
  void swap_once(const SwapTarget& target);

  Targets targets_;
  Rng rng_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> swaps_{0};
  std::thread thread_;
};

std::string sha256_of(const std::string& bytes);
// The instant `seconds` before now, in the manifest's RFC 3339 form.
std::string rfc3339_seconds_ago(std::int64_t seconds);
// Sets a path's access and modification times `seconds` into the past, without following links.
bool age_path(const std::string& path, std::int64_t seconds);
inline constexpr std::int64_t kEightDays = 8 * 24 * 3600;
using testing::kMaxFileBytes;

}  // namespace varquin::stress
