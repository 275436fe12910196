// Scenario 6: a slow source holds up no one. One bridge stages a download whose source stalls for
// six seconds in the middle of being copied, as a file on a network share or a sleeping disk can;
// while it waits, other bridges stage large attachments of their own. The staging lock is held
// only to decide and to rename, never while bytes move, so none of them waits the lock's 2 s out:
// no "lock_timeout", every request staged, every stage whole.
#include <thread>

#include "scenarios.h"
#include "store_check.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kSlowSourceSection;
constexpr std::size_t kReadBytes = 65'536;  // what the bridge reads of a source at a time

// Waits until the shim has stalled the slow bridge's copy, so that the others run inside the
// stall; false when it never comes.
bool wait_for_stall(const std::string& trace) {
  for (int i = 0; i < 3'000; ++i) {
    for (const TraceLine& line : read_trace(trace)) {
      if (line.tag == "stall") return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool staged(const Session& session, const std::string& status) {
  return !session.answers.empty() && session.answers.back() && session.answers.back()->ok &&
         session.answers.back()->status == status;
}

}  // namespace

void run_slow_source(const Options& options, Ledger& ledger) {
  Home home;
  Rng rng(derive_seed(options.seed, "slow-source"));
  const std::size_t size = options.full ? std::size_t{64} << 20 : std::size_t{16} << 20;
  const unsigned others = options.full ? 4 : 3;
  const Sentinels sentinels = take_sentinels(home);

  const std::string slow_id = rng.request_id();
  const std::string directory = home.inbox() + "/" + slow_id;
  const std::string content = rng.bytes(size);
  testing::make_directories(directory);
  testing::write_file(directory + "/slow.csv", content);
  // The first pass hashes the file (one read per 64 KiB, and one at its end); the next read is
  // the copy's first.
  FaultPlan plan;
  plan.prefix = directory;
  plan.kinds = "read";
  plan.nth = static_cast<long>(size / kReadBytes) + 2;
  plan.action = "stall";
  plan.stall_ms = kSlowSourceStallMs;
  plan.trace = home.scratch("slow.trace");
  plan.lock_log = home.scratch("lock.log");
  testing::make_directories(home.scratch(""));

  Session slow;
  std::thread slow_bridge([&] {
    slow = run_session(options.programs, with_shim(home.environment(), options.programs, plan),
                       {request::stage_download(slow_id, directory + "/slow.csv", "slow.csv")});
  });
  const bool stalled = wait_for_stall(plan.trace);
  ledger.expect(stalled, kSection, "the slow source never stalled: nothing was proved");

  // Their lock waits are logged too: a shim that only logs.
  FaultPlan log_only;
  log_only.prefix = home.imports();
  log_only.lock_log = plan.lock_log;
  std::vector<Session> sessions(others);
  std::vector<std::string> ids(others);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < others; ++i) {
    ids[i] = rng.request_id();
    threads.emplace_back([&, i, bytes = rng.bytes(size)] {
      sessions[i] = run_session(
          options.programs, with_shim(home.environment(), options.programs, log_only),
          request::upload(ids[i], "big-" + std::to_string(i) + ".csv", bytes, 256 * 1024));
    });
  }
  for (std::thread& thread : threads) thread.join();
  slow_bridge.join();

  for (unsigned i = 0; i < others; ++i) {
    const bool ok = staged(sessions[i], "staged");
    ledger.expect(ok, kSection,
                  "a bridge staging beside the slow one was answered " +
                      (sessions[i].answers.empty() || !sessions[i].answers.back()
                           ? std::string("nothing")
                           : sessions[i].answers.back()->raw));
    if (ok) ledger.add(kSection, "large attachments staged while a source stalled");
  }
  ledger.expect(staged(slow, "staged_and_launched"), kSection,
                "the slow download did not stage once its source caught up");

  const LockLog log = read_lock_log(plan.lock_log);
  long long longest = 0;
  for (const Interval& hold : log.holds) longest = std::max(longest, hold.length());
  ledger.maximum(kSection, "longest staging-lock hold (ms)",
                 static_cast<std::uint64_t>(longest / 1'000'000));
  ledger.expect(log.gave_up.empty(), kSection, "a bridge gave up waiting for the lock");

  const StoreView view = inspect_store(home);
  for (const std::string& problem : view.problems) ledger.violation(kSection, problem);
  ledger.expect(view.stages.size() == others + 1u, kSection,
                "the store does not hold every attachment staged");
  check_sentinels(home, sentinels, ledger, kSection, false);
}

}  // namespace varquin::stress
