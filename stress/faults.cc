// Scenario 3: every file-system call of a staging request fails in turn (create, mkdir, write,
// sync, rename, remove, directory listing, lock), with ENOSPC, EIO and EACCES. The answer must be
// the retryable "staging_failed" (or success where the failure is of no consequence), the store
// must hold no incoming directory and no partial stage, and the same request must succeed once
// the fault is gone.
#include <cerrno>

#include "import_format.h"
#include "scenarios.h"
#include "staging/records.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kFaultSection;
constexpr const char* kKinds[] = {"create", "mkdir",  "write", "sync",
                                  "rename", "remove", "list",  "lock"};
constexpr const char* kAllKinds = "create,mkdir,write,sync,rename,remove,list,lock";

struct ErrorChoice {
  int number;
  const char* name;
};
constexpr ErrorChoice kErrors[] = {{ENOSPC, "ENOSPC"}, {EIO, "EIO"}, {EACCES, "EACCES"}};

struct Setup {
  bool upload = true;
  bool busy = false;  // a store with history: old entries to expire, young stages, records
  std::string label() const {
    return std::string(upload ? "upload" : "download") + (busy ? ", busy store" : ", empty store");
  }
};

struct Request {
  std::string id, name, content;
  std::vector<std::string> frames;
  std::string old_stage, old_incoming, old_record;
};

void plant_terminal_record(const Home& home, const std::string& id, const std::string& finalized) {
  staging::TerminalRecord record{std::string(kImportSchema),
                                 id,
                                 std::string(kGmailSource),
                                 home.imports() + "/" + id + "/old.csv",
                                 "old.csv",
                                 3,
                                 sha256_of("old"),
                                 finalized};
  testing::make_directories(home.terminals());
  testing::write_file(home.terminals() + "/" + id + ".json",
                      *staging::serialize_terminal_record(record));
}

// The same store and request every time for one setup: the calls line up run after run.
Request prepare(const Home& home, const Options& options, const Setup& setup) {
  home.reset_store();
  Rng rng(derive_seed(options.seed, "faults", setup.upload * 2 + setup.busy));
  Request r;
  r.id = rng.request_id();
  r.name = setup.upload ? "faulty.csv" : "faulty.xlsx";
  r.content = rng.bytes(150 * 1024 + 11);  // several copy chunks on the download road
  if (setup.upload) {
    r.frames = request::upload(r.id, r.name, r.content, 64 * 1024);
  } else {
    const std::string directory = home.inbox() + "/" + r.id;
    (void)toolkit::remove_tree(directory);
    testing::make_directories(directory);
    testing::write_file(directory + "/" + r.name, r.content);
    r.frames = {request::stage_download(r.id, directory + "/" + r.name, r.name)};
  }
  if (setup.busy) {
    r.old_stage = rng.request_id();
    plant_stage(home, r.old_stage, "old.csv", rng.bytes(5000), rfc3339_seconds_ago(kEightDays));
    r.old_incoming = plant_incoming(home, rng, rng.request_id(), kEightDays);
    r.old_record = rng.request_id();
    plant_terminal_record(home, r.old_record, rfc3339_seconds_ago(kEightDays));
    plant_terminal_record(home, rng.request_id(), rfc3339_seconds_ago(60));
    for (int i = 0; i < 2; ++i) {
      plant_stage(home, rng.request_id(), "young.csv", rng.bytes(700), rfc3339_seconds_ago(60));
    }
  }
  return r;
}

std::string success_status(const Setup& setup) {
  return setup.upload ? "staged" : "staged_and_launched";
}

// A failed heartbeat is ignored, and so is a failed unlock (closing the lock file releases it).
bool harmless(const TraceLine& fault, long lock_calls_before) {
  if (fault.path.find("browser-extension-heartbeat") != std::string::npos) return true;
  // What was retired is out of the store's view: its removal is the next purge's if it fails.
  if (fault.path.find("/.retired-") != std::string::npos) return true;
  return fault.kind == "lock" && lock_calls_before >= 1;
}

struct Counts {
  std::map<std::string, long> calls;
  long lock_index_first = 0;
};

Counts count_calls(const std::vector<TraceLine>& trace) {
  Counts counts;
  for (const TraceLine& line : trace) {
    if (line.tag == "call") ++counts.calls[line.kind];
  }
  return counts;
}

void run_one(const Options& options, const Home& home, const Setup& setup, const char* kind,
             long nth, long times, const ErrorChoice& error, Ledger& ledger) {
  Request r = prepare(home, options, setup);
  FaultPlan plan;
  plan.prefix = home.user_data();
  plan.kinds = kind;
  plan.nth = nth;
  plan.times = times;
  plan.error = error.number;
  plan.trace = home.scratch("fault.trace");
  (void)toolkit::remove_file(plan.trace);
  const std::string what = setup.label() + ", " + kind + " call " + std::to_string(nth) +
                           (times == 0 ? " and every later one" : "") + " fails with " + error.name;
  Session s = run_session(options.programs, with_shim(home.environment(), options.programs, plan),
                          r.frames);
  std::optional<TraceLine> fault;
  long same_kind_before = 0;
  for (const TraceLine& line : read_trace(plan.trace)) {
    if (line.tag == "fault" && !fault) {
      fault = line;
      same_kind_before = line.index - 1;
    }
  }
  if (!ledger.expect(fault.has_value(), kSection, what + ": the fault was never reached")) return;
  ledger.add(kSection, std::string("faults injected into ") + kind + " calls");
  ledger.add(kSection, std::string("faults injected with ") + error.name);

  const std::size_t last = r.frames.size() - 1;
  const bool complete = s.answers.size() == r.frames.size() && s.answers[last];
  if (!ledger.expect(complete && s.raw.exit_status == 0, kSection,
                     what + ": not every request got one answer")) {
    return;
  }
  const Answer& answer = *s.answers[last];
  const bool expect_success = times == 1 && harmless(*fault, same_kind_before);
  if (expect_success) {
    ledger.expect(
        answer.ok && answer.status == success_status(setup), kSection,
        what + " (" + fault->path + "): a harmless failure broke the request: " + answer.raw);
    ledger.add(kSection,
               "harmless failures (heartbeat, unlock, removing what was retired) answered with "
               "success");
  } else {
    ledger.expect(!answer.ok && answer.code == "staging_failed" && answer.retryable == true,
                  kSection, what + " (" + fault->path + "): answered " + answer.raw);
    ledger.add(kSection, "failures answered staging_failed, retryable");
  }

  // The store as the failure left it: no incoming directory but the planted one, nothing partial.
  StoreRules rules;
  rules.incoming_allowed = true;
  rules.retired_allowed = true;
  StoreView view = inspect_store(home, rules);
  for (const std::string& problem : view.problems) {
    ledger.violation(kSection, what + " (" + fault->path + "): " + problem);
  }
  // A removal that failed inside a directory leaves that directory under its retired name, which
  // the census ignores (checked above); the only incoming directory is the planted abandoned one.
  auto fault_inside = [&](const std::string& name) {
    const std::string directory = home.imports() + "/" + name;
    return fault->path == directory || fault->path.rfind(directory + "/", 0) == 0;
  };
  for (const std::string& name : view.incoming) {
    ledger.expect(name == r.old_incoming, kSection,
                  what + " (" + fault->path + "): left an incoming directory " + name);
  }
  for (const std::string& name : view.retired) {
    ledger.expect(fault_inside(name), kSection,
                  what + " (" + fault->path + "): left a retired directory " + name);
  }
  ledger.expect(view.stages.count(r.id) == (answer.ok ? 1u : 0u), kSection,
                what + ": the stage does not match the answer");
  for (const std::string& name : view.broken)
    (void)toolkit::remove_tree(home.imports() + "/" + name);

  // The fault is gone: the same request succeeds and its purge finishes any interrupted expiry.
  Session again = run_session(options.programs, home.environment(), r.frames);
  const bool recovered = again.answers.size() == r.frames.size() && again.answers[last] &&
                         again.answers[last]->ok &&
                         again.answers[last]->status == success_status(setup) &&
                         again.answers[last]->reused.value_or(false) == answer.ok;
  ledger.expect(recovered, kSection, what + ": the request did not succeed afterwards");
  // Nothing stays: a directory whose removal failed half way went with this purge, however fresh.
  StoreView after = inspect_store(home);
  for (const std::string& problem : after.problems) {
    ledger.violation(kSection, what + ", after recovery: " + problem);
  }
  if (!view.retired.empty() && after.retired.empty()) {
    ledger.add(kSection, "half-removed directories cleared by the next purge");
  }
  auto stage = after.stages.find(r.id);
  ledger.expect(stage != after.stages.end() && stage->second.sha256 == sha256_of(r.content),
                kSection, what + ": the recovered stage does not hold the attachment");
  if (setup.busy) {
    ledger.expect(!after.stages.count(r.old_stage), kSection, what + ": old stage survived");
    ledger.expect(!testing::path_exists(home.terminals() + "/" + r.old_record + ".json"), kSection,
                  what + ": old terminal record survived");
  }
  if (recovered) ledger.add(kSection, "requests that succeeded once the fault was gone");
}

}  // namespace

void run_faults(const Options& options, Ledger& ledger) {
  Home home;
  const Sentinels sentinels = take_sentinels(home);
  unsigned rotation = 0;
  for (bool upload : {true, false}) {
    for (bool busy : {false, true}) {
      const Setup setup{upload, busy};
      // An undisturbed run lists the calls each fault can hit.
      FaultPlan plan;
      plan.prefix = home.user_data();
      plan.kinds = kAllKinds;
      plan.trace = home.scratch("count.trace");
      (void)toolkit::remove_file(plan.trace);
      Request r = prepare(home, options, setup);
      (void)run_session(options.programs, with_shim(home.environment(), options.programs, plan),
                        r.frames);
      Counts counts = count_calls(read_trace(plan.trace));
      if (!ledger.expect(!counts.calls.empty(), kSection,
                         setup.label() + ": the shim saw no call to make fail")) {
        continue;
      }
      for (const char* kind : kKinds) {
        // The quick run tries an empty store only where it differs: creating the roots.
        const bool roots_only = !options.full && !busy;
        if (roots_only && std::string_view(kind) != "mkdir") continue;
        for (long nth = 1; nth <= counts.calls[kind]; ++nth) {
          if (options.every_errno) {
            for (const ErrorChoice& error : kErrors) {
              run_one(options, home, setup, kind, nth, 1, error, ledger);
            }
          } else {
            run_one(options, home, setup, kind, nth, 1, kErrors[rotation++ % 3], ledger);
          }
        }
      }
      // A full disk: from the first call on, every write, sync, file or directory creation fails.
      for (const char* kind : {"write", "sync", "create", "mkdir"}) {
        if (!options.full) break;
        if (counts.calls[kind] > 0) run_one(options, home, setup, kind, 1, 0, kErrors[0], ledger);
      }
    }
  }
  check_sentinels(home, sentinels, ledger, kSection, /*check_downloads=*/false);
}

}  // namespace varquin::stress
