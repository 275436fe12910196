// Scenario 1: several bridges at once on one store, each with its own long session of mixed
// requests, while an observer plays the passage of time (ageing stages, planting abandoned
// entries) and checks the store under the staging lock and without it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "scenarios.h"
#include "staging/limits.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kConcurrencySection;
constexpr std::size_t kChunkBytes = 48 * 1024;
constexpr long long kLockWaitLimitNs = 2'000'000'000LL;

enum class OpKind { SharedUpload, Upload, SharedDownload, Download, Launch, Cleanup, Ping };

struct Op {
  OpKind kind;
  std::string id;
  std::size_t first = 0;  // index of its first frame
  std::size_t count = 0;  // frames it takes
};

struct Script {
  std::vector<std::string> frames;
  std::vector<Op> ops;
};

// What the driver knows each request ID must hold if it is staged.
struct Expected {
  std::string name;
  std::string sha256;
};

struct Shared {
  std::string upload_id, upload_content;
  std::string download_id, download_path;
  const std::string upload_name = "shared-upload.csv";
  const std::string download_name = "shared-download.xlsx";
};

// "p3-17.csv". Built by appending: GCC 12 misreads literal + std::string at -O3 (-Wrestrict).
std::string numbered(std::string_view prefix, unsigned process, unsigned serial,
                     std::string_view extension) {
  std::string name(prefix);
  name += std::to_string(process);
  name += '-';
  name += std::to_string(serial);
  name += extension;
  return name;
}

void add_op(Script& script, OpKind kind, const std::string& id, std::vector<std::string> frames) {
  script.ops.push_back(Op{kind, id, script.frames.size(), frames.size()});
  for (auto& f : frames) script.frames.push_back(std::move(f));
}

class ScriptBuilder {
 public:
  ScriptBuilder(const Home& home, const Shared& shared, std::map<std::string, Expected>& expected)
      : home_(home), shared_(shared), expected_(expected) {}

  Script build(unsigned process, unsigned frames, std::uint64_t seed) {
    Rng rng(seed);
    Script script;
    // Every session starts on the two shared requests, so they are created before any other
    // request can fill the store.
    shared_upload(script, rng, frames);
    add_op(script, OpKind::SharedDownload, shared_.download_id,
           {request::stage_download(shared_.download_id, shared_.download_path,
                                    shared_.download_name)});
    unsigned serial = 0;
    while (script.frames.size() < frames) {
      const std::size_t left = frames - script.frames.size();
      const auto roll = rng.below(100);
      if (roll < 30 && left >= 3) {
        upload(script, rng, process, serial++, left);
      } else if (roll < 45) {
        download(script, rng, process, serial++);
      } else if (roll < 58 && left >= 3) {
        shared_upload(script, rng, left);
      } else if (roll < 68) {
        add_op(script, OpKind::SharedDownload, shared_.download_id,
               {request::stage_download(shared_.download_id, shared_.download_path,
                                        shared_.download_name)});
      } else if (roll < 78) {
        add_op(script, OpKind::Launch, shared_.upload_id, {request::launch(shared_.upload_id)});
      } else if (roll < 86) {
        const std::string id = rng.request_id();
        const std::string directory = home_.inbox() + "/" + id;
        testing::make_directories(directory);
        add_op(script, OpKind::Cleanup, id, {request::cleanup(id, directory)});
      } else {
        const std::string id = rng.request_id();
        add_op(script, OpKind::Ping, id, {request::ping(id)});
      }
    }
    return script;
  }

 private:
  // The shared attachment in chunks of a random size, in no more than `left` frames.
  void shared_upload(Script& script, Rng& rng, std::size_t left) {
    static constexpr std::size_t kChunkChoices[] = {16 * 1024, kChunkBytes, 1 << 20};
    std::size_t chunk = kChunkChoices[rng.below(3)];
    const std::size_t size = shared_.upload_content.size();
    if (left >= 3) chunk = std::max(chunk, (size + left - 3) / (left - 2));
    add_op(script, OpKind::SharedUpload, shared_.upload_id,
           request::upload(shared_.upload_id, shared_.upload_name, shared_.upload_content, chunk));
  }

  void upload(Script& script, Rng& rng, unsigned process, unsigned serial, std::size_t left) {
    const std::string id = rng.request_id();
    std::size_t size =
        rng.chance(10) ? 256 * 1024 + rng.below(768 * 1024) : 1 + rng.below(48 * 1024);
    size = std::min(size, (left - 2) * kChunkBytes);
    const std::string content = rng.bytes(size);
    const std::string name = numbered("p", process, serial, rng.chance(20) ? ".CSV" : ".csv");
    expected_[id] = Expected{name, sha256_of(content)};
    add_op(script, OpKind::Upload, id, request::upload(id, name, content, kChunkBytes));
  }

  void download(Script& script, Rng& rng, unsigned process, unsigned serial) {
    const std::string id = rng.request_id();
    const std::string name = numbered("d", process, serial, ".dta");
    const std::string directory = home_.inbox() + "/" + id;
    const std::string content = rng.bytes(1 + rng.below(96 * 1024));
    testing::make_directories(directory);
    testing::write_file(directory + "/" + name, content);
    expected_[id] = Expected{name, sha256_of(content)};
    add_op(script, OpKind::Download, id,
           {request::stage_download(id, directory + "/" + name, name)});
  }

  const Home& home_;
  const Shared& shared_;
  std::map<std::string, Expected>& expected_;
};

std::uint64_t count_lines(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

// Plays the passage of time and watches the store while the bridges run.
class Observer {
 public:
  // `planted` and `planted_incoming`: the old entries already in the store, which the first
  // purge removes, so that a reader without the lock may see them go.
  Observer(const Home& home, Ledger& ledger, std::uint64_t seed, std::set<std::string> fixed,
           std::set<std::string> planted, std::set<std::string> planted_incoming)
      : home_(home),
        ledger_(ledger),
        rng_(seed),
        fixed_(std::move(fixed)),
        planted_(std::move(planted)),
        planted_incoming_(std::move(planted_incoming)) {}

  void run(const std::atomic<bool>& done) {
    while (!done.load()) {
      locked_pass();
      lockless_pass();
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng_.below(20)));
    }
  }

  const std::vector<Interval>& holds() const { return holds_; }
  const std::set<std::string>& aged() const { return aged_; }
  const std::set<std::string>& planted() const { return planted_; }
  const std::set<std::string>& planted_incoming() const { return planted_incoming_; }

 private:
  // Takes the lock the way a bridge does: non-blocking attempts, never a queue position.
  int take_lock() {
    int fd = ::open((home_.imports() + "/.bridge.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    ledger_.add(kSection, "observer passes skipped (lock busy for 1 s)");
    return -1;
  }

  void locked_pass() {
    int fd = take_lock();
    if (fd < 0) return;
    Interval hold{monotonic_ns(), 0};
    // Bridges build their stages before they take the lock and remove what they retired after
    // it: both may be there while we hold it. Every stage must still be whole.
    StoreRules rules;
    rules.incoming_allowed = true;
    rules.retired_allowed = true;
    rules.bridges_running = true;
    StoreView view = inspect_store(home_, rules);
    for (const std::string& problem : view.problems) {
      ledger_.violation(kSection, "under the lock: " + problem);
    }
    ledger_.maximum(kSection, "most stages seen at once (under the lock)", view.occupied());
    ledger_.add(kSection, "store checks under the lock");
    age_some(view);
    plant_some(view);
    ::flock(fd, LOCK_UN);
    hold.to = monotonic_ns();
    ::close(fd);
    holds_.push_back(hold);
  }

  // Now and then, when the store is full, a few stages reach their seventh day; in between, new
  // requests find it full and must be refused.
  void age_some(const StoreView& view) {
    if (view.occupied() < staging::kStageLimit || ++full_passes_ % 3 != 0) return;
    unsigned aged = 0;
    for (const auto& [id, stage] : view.stages) {
      if (aged == 3) break;
      if (fixed_.count(id) || aged_.count(id) || planted_.count(id)) continue;
      if (redate_stage(home_, id, rfc3339_seconds_ago(kEightDays))) {
        aged_.insert(id);
        ++aged;
        ledger_.add(kSection, "stages aged past 7 days while bridges ran");
      }
    }
  }

  void plant_some(const StoreView& view) {
    if (++passes_ % 3 != 0 || view.occupied() >= staging::kStageLimit - 1) return;
    const std::string id = rng_.request_id();
    if (rng_.chance(50)) {
      plant_stage(home_, id, "old.csv", rng_.bytes(rng_.below(2048)),
                  rfc3339_seconds_ago(kEightDays));
      planted_.insert(id);
      ledger_.add(kSection, "old stages planted while bridges ran");
    } else {
      planted_incoming_.insert(plant_incoming(home_, rng_, id, kEightDays));
      ledger_.add(kSection, "abandoned incoming directories planted while bridges ran");
    }
  }

  // Without the lock, as the desktop app reads: a stage that nothing may remove is complete.
  void lockless_pass() {
    auto entries = toolkit::list_directory(home_.imports());
    if (!entries) return;
    for (const auto& entry : *entries) {
      if (entry.kind != platform::EntryKind::Directory || entry.name.front() == '.') continue;
      if (aged_.count(entry.name) || planted_.count(entry.name)) continue;
      StageView stage;
      if (auto problem = check_stage(home_.imports() + "/" + entry.name, entry.name, stage)) {
        ledger_.violation(kSection, "without the lock: " + *problem);
      }
      ledger_.add(kSection, "stages read without the lock, as the desktop app does");
    }
  }

  const Home& home_;
  Ledger& ledger_;
  Rng rng_;
  const std::set<std::string> fixed_;
  std::set<std::string> aged_, planted_;
  std::set<std::string> planted_incoming_;
  std::vector<Interval> holds_;
  unsigned passes_ = 0;
  unsigned full_passes_ = 0;
};

// What the lock log shows about one wait that gave up.
struct WaitReport {
  long long longest_hold = 0;  // the longest single hold overlapping the wait
  long long busy = 0;          // time within the wait during which someone held the lock
  long long longest_free = 0;  // the longest stretch within the wait when nobody held it
  std::size_t holds = 0;
};

WaitReport explain_wait(const Interval& wait, std::vector<Interval> holds) {
  std::sort(holds.begin(), holds.end(),
            [](const Interval& a, const Interval& b) { return a.from < b.from; });
  WaitReport r;
  long long cursor = wait.from;
  for (const Interval& h : holds) {
    if (h.to <= wait.from || h.from >= wait.to) continue;
    ++r.holds;
    r.longest_hold = std::max(r.longest_hold, h.length());
    r.busy += std::min(h.to, wait.to) - std::max(h.from, wait.from);
    if (h.from > cursor) r.longest_free = std::max(r.longest_free, h.from - cursor);
    cursor = std::max(cursor, h.to);
  }
  r.longest_free = std::max(r.longest_free, wait.to - cursor);
  return r;
}

std::string ms(long long nanoseconds) {
  return std::to_string(nanoseconds / 1000000) + " ms";
}

// A "lock_timeout" is right when some holder kept the lock for 2 s or more during the wait. The
// poll (every 25 ms, no queue) can also starve behind many short holds; that is told apart from a
// broken wait by the lock never being free for 250 ms, and is a violation only when `strict`.
void judge_lock_timeouts(const LockLog& log, const std::vector<Interval>& observer_holds,
                         std::uint64_t timeout_answers, bool strict, Ledger& ledger) {
  constexpr long long kFreeStretchNs = 250'000'000LL;
  std::vector<Interval> holds = log.holds;
  holds.insert(holds.end(), observer_holds.begin(), observer_holds.end());
  long long longest_hold = 0, longest_wait = 0;
  for (const Interval& h : holds) longest_hold = std::max(longest_hold, h.length());
  for (const Interval& w : log.waits) longest_wait = std::max(longest_wait, w.length());
  ledger.expect(!log.holds.empty(), kSection, "the lock log of the bridges is empty");
  ledger.add(kSection, "staging lock acquisitions (bridges and observer)", holds.size());
  ledger.maximum(kSection, "longest lock hold (ms)",
                 static_cast<std::uint64_t>(longest_hold / 1000000));
  ledger.maximum(kSection, "longest wait that got the lock (ms)",
                 static_cast<std::uint64_t>(longest_wait / 1000000));
  ledger.add(kSection, "lock_timeout answers", timeout_answers);
  ledger.expect(timeout_answers == log.gave_up.size(), kSection,
                std::to_string(timeout_answers) + " lock_timeout answers but " +
                    std::to_string(log.gave_up.size()) + " abandoned waits in the lock log");
  for (const Interval& wait : log.gave_up) {
    const WaitReport r = explain_wait(wait, holds);
    const std::string story = "a wait of " + ms(wait.length()) +
                              " gave up: " + std::to_string(r.holds) +
                              " holds during it, longest " + ms(r.longest_hold) + ", lock busy " +
                              std::to_string(100 * r.busy / std::max(wait.length(), 1LL)) +
                              "% of the wait, never free for more than " + ms(r.longest_free);
    if (r.longest_hold >= kLockWaitLimitNs) {
      ledger.add(kSection, "lock_timeout justified by a holder past 2 s");
    } else if (r.longest_free < kFreeStretchNs && !strict) {
      ledger.add(kSection, "lock_timeout from starvation behind short holds (explained)");
      ledger.note(kSection, story);
    } else {
      ledger.violation(kSection, story + " (no holder kept it 2 s)");
    }
  }
}

// The answers of one session against its script; fills the outcome of every staging request.
struct Tally {
  std::map<std::string, std::vector<std::string>> outcomes;  // id -> "new", "reused", ...
  std::uint64_t launched = 0, timeouts = 0;
};

std::string staging_outcome(const Answer& a, std::string_view success_status) {
  if (a.ok && a.status == success_status) return a.reused.value_or(false) ? "reused" : "new";
  if (!a.ok && a.code == "capacity_exceeded" && a.retryable == true) return "capacity";
  if (!a.ok && a.code == "lock_timeout" && a.retryable == true) return "timeout";
  return "unexpected: " + a.raw;
}

void check_session(unsigned process, const Script& script, const Session& session, Tally& tally,
                   Ledger& ledger) {
  const std::string who = "bridge " + std::to_string(process) + ": ";
  ledger.add(kSection, "requests sent", script.frames.size());
  ledger.add(kSection, "answers received", session.answers.size());
  ledger.expect(session.raw.exit_status == 0 && !session.raw.timed_out, kSection,
                who + "exit status " + std::to_string(session.raw.exit_status));
  ledger.expect(session.raw.error.empty(), kSection, who + "wrote to stderr: " + session.raw.error);
  if (!ledger.expect(session.answers.size() == script.frames.size(), kSection,
                     who + std::to_string(script.frames.size()) + " requests but " +
                         std::to_string(session.answers.size()) + " answers")) {
    return;
  }
  for (const Op& op : script.ops) {
    for (std::size_t i = op.first; i < op.first + op.count; ++i) {
      const auto& answer = session.answers[i];
      if (!ledger.expect(answer && answer->request_id == op.id, kSection,
                         who + "answer " + std::to_string(i) + " is not for its request")) {
        return;
      }
    }
    const Answer& last = *session.answers[op.first + op.count - 1];
    auto simple = [&](std::string_view status) {
      ledger.expect(last.ok && last.status == status, kSection,
                    who + "expected " + std::string(status) + ", got " + last.raw);
    };
    switch (op.kind) {
      case OpKind::SharedUpload:
      case OpKind::Upload: {
        for (std::size_t i = op.first; i + 1 < op.first + op.count; ++i) {
          const Answer& step = *session.answers[i];
          ledger.expect(
              step.ok && (step.status == "upload_ready" || step.status == "chunk_accepted"),
              kSection, who + "upload step refused: " + step.raw);
        }
        std::string outcome = staging_outcome(last, "staged");
        tally.outcomes[op.id].push_back(outcome);
        tally.timeouts += outcome == "timeout";
        break;
      }
      case OpKind::SharedDownload:
      case OpKind::Download: {
        std::string outcome = staging_outcome(last, "staged_and_launched");
        tally.outcomes[op.id].push_back(outcome);
        tally.timeouts += outcome == "timeout";
        tally.launched += outcome == "new" || outcome == "reused";
        break;
      }
      case OpKind::Launch:
        simple("staged_and_launched");
        tally.launched += last.ok;
        break;
      case OpKind::Cleanup:
        simple("download_container_cleaned");
        break;
      case OpKind::Ping:
        simple("pong");
        break;
    }
  }
}

void check_outcomes(const Tally& tally, const Shared& shared, const StoreView& view,
                    const std::map<std::string, Expected>& expected, const Observer& observer,
                    Ledger& ledger) {
  for (const auto& [id, outcomes] : tally.outcomes) {
    const bool is_shared = id == shared.upload_id || id == shared.download_id;
    std::size_t created = 0, reused = 0, refused = 0;
    for (const std::string& outcome : outcomes) {
      if (outcome.rfind("unexpected", 0) == 0) {
        ledger.violation(kSection, "request " + id + " answered " + outcome);
      }
      created += outcome == "new";
      reused += outcome == "reused";
      refused += outcome == "capacity";
    }
    ledger.add(kSection, "stages created", created);
    ledger.add(kSection, "identical requests answered with the existing stage", reused);
    ledger.add(kSection, "new stages refused at capacity (retryable)", refused);
    if (is_shared) {
      ledger.expect(created == 1 && refused == 0, kSection,
                    "shared request " + id + " was staged " + std::to_string(created) +
                        " times and refused " + std::to_string(refused) + " times");
    }
    const bool present = view.stages.count(id) > 0;
    if (created == 1) {
      const bool expired = observer.aged().count(id) > 0;
      ledger.expect(present || expired, kSection, "staged request " + id + " is lost");
      if (present) {
        const std::string sha = is_shared && id == shared.upload_id
                                    ? sha256_of(shared.upload_content)
                                    : (expected.count(id) ? expected.at(id).sha256 : "");
        if (!sha.empty()) {
          ledger.expect(view.stages.at(id).sha256 == sha, kSection,
                        "stage " + id + " does not hold the bytes that were sent");
        }
      }
    } else {
      ledger.expect(!present, kSection, "refused request " + id + " has a stage");
    }
  }
}

}  // namespace

void run_concurrency(const Options& options, Ledger& ledger) {
  Home home;
  Rng rng(derive_seed(options.seed, "concurrency"));

  Shared shared;
  shared.upload_id = rng.request_id();
  shared.upload_content = rng.bytes(100 * 1024 + 17);
  shared.download_id = rng.request_id();
  testing::make_directories(home.inbox() + "/" + shared.download_id);
  shared.download_path = home.inbox() + "/" + shared.download_id + "/" + shared.download_name;
  testing::write_file(shared.download_path, rng.bytes(70 * 1024 + 3));

  // A store with history: entries past 7 days for the first purge, two young foreign stages.
  std::set<std::string> fixed{shared.upload_id, shared.download_id};
  std::set<std::string> first_planted;
  for (int i = 0; i < 6; ++i) {
    std::string id = rng.request_id();
    plant_stage(home, id, "old.csv", rng.bytes(100), rfc3339_seconds_ago(kEightDays));
    first_planted.insert(id);
  }
  std::set<std::string> first_incoming;
  for (int i = 0; i < 3; ++i)
    first_incoming.insert(plant_incoming(home, rng, rng.request_id(), kEightDays));
  for (int i = 0; i < 2; ++i) {
    std::string id = rng.request_id();
    plant_stage(home, id, "young.csv", rng.bytes(300), rfc3339_seconds_ago(3600));
    fixed.insert(id);
  }
  ::close(::open((home.imports() + "/.bridge.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));

  std::map<std::string, Expected> expected;
  ScriptBuilder builder(home, shared, expected);
  std::vector<Script> scripts;
  for (unsigned p = 0; p < options.bridges; ++p) {
    scripts.push_back(builder.build(p, options.requests_per_bridge,
                                    derive_seed(options.seed, "concurrency-script", p)));
  }
  const Sentinels downloads_ready = take_sentinels(home);

  FaultPlan plan;
  plan.prefix = home.user_data();
  plan.lock_log = home.scratch("lock.log");
  const auto env = with_shim(home.environment(), options.programs, plan);

  Observer observer(home, ledger, derive_seed(options.seed, "observer"), fixed, first_planted,
                    first_incoming);
  std::atomic<bool> done{false};
  std::vector<Session> sessions(options.bridges);
  std::latch start(options.bridges);
  const auto began = std::chrono::steady_clock::now();
  std::thread watcher([&] { observer.run(done); });
  std::vector<std::thread> bridges;
  for (unsigned p = 0; p < options.bridges; ++p) {
    bridges.emplace_back([&, p] {
      start.arrive_and_wait();
      sessions[p] = run_session(options.programs, env, scripts[p].frames, 600);
    });
  }
  for (auto& t : bridges) t.join();
  done = true;
  watcher.join();
  const auto elapsed = std::chrono::steady_clock::now() - began;

  ledger.add(kSection, "bridge processes at once", options.bridges);
  ledger.add(kSection, "run time of the bridges (ms, for scale only)",
             std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  Tally tally;
  for (unsigned p = 0; p < options.bridges; ++p) {
    check_session(p, scripts[p], sessions[p], tally, ledger);
  }
  judge_lock_timeouts(read_lock_log(plan.lock_log), observer.holds(), tally.timeouts,
                      options.strict_lock, ledger);

  StoreRules planted_only;
  planted_only.incoming_allowed = true;
  StoreView view = inspect_store(home, planted_only);
  for (const std::string& problem : view.problems)
    ledger.violation(kSection, "after the run: " + problem);
  for (const std::string& name : view.incoming) {
    ledger.expect(observer.planted_incoming().count(name) > 0, kSection,
                  "after the run, an incoming directory no bridge owns: " + name);
  }
  check_outcomes(tally, shared, view, expected, observer, ledger);
  for (const std::string& id : fixed) {
    ledger.expect(view.stages.count(id) > 0, kSection, "stage " + id + " was lost");
  }
  for (const auto& [id, stage] : view.stages) {
    const bool known = fixed.count(id) || tally.outcomes.count(id) || observer.aged().count(id) ||
                       observer.planted().count(id);
    ledger.expect(known, kSection, "a stage nobody asked for: " + id);
  }
  const std::uint64_t launcher_calls = count_lines(home.launcher_log());
  ledger.expect(launcher_calls == tally.launched, kSection,
                std::to_string(tally.launched) + " launches answered but the launcher ran " +
                    std::to_string(launcher_calls) + " times");
  ledger.add(kSection, "desktop-app launches (each answered once)", launcher_calls);

  // Time passes for everything but the fixed stages; the next request must clear it all away.
  for (const auto& [id, stage] : view.stages) {
    if (!fixed.count(id)) redate_stage(home, id, rfc3339_seconds_ago(kEightDays));
  }
  const std::string last_id = rng.request_id();
  const std::string last_content = rng.bytes(1234);
  Session last = run_session(options.programs, home.environment(),
                             request::upload(last_id, "last.csv", last_content, kChunkBytes));
  ledger.expect(last.answers.size() == 3 && last.answers[2] && last.answers[2]->ok &&
                    last.answers[2]->status == "staged",
                kSection, "the request after the run was not staged");
  StoreView after = inspect_store(home);
  for (const std::string& problem : after.problems) {
    ledger.violation(kSection, "after expiry: " + problem);
  }
  std::set<std::string> left;
  for (const auto& [id, stage] : after.stages) left.insert(id);
  std::set<std::string> wanted = fixed;
  wanted.insert(last_id);
  ledger.expect(left == wanted, kSection,
                "after expiry the store holds " + std::to_string(left.size()) +
                    " stages, expected exactly the " + std::to_string(wanted.size()) +
                    " young ones");
  ledger.add(
      kSection, "expired entries cleared by the purges (planted and aged)",
      observer.planted().size() + observer.planted_incoming().size() + observer.aged().size());
  check_sentinels(home, downloads_ready, ledger, kSection);
}

}  // namespace varquin::stress
