// Scenario 2: a bridge killed with SIGKILL at a random moment while it stages, expires old
// entries or rolls a stage back. Each trial starts from a store of its own making, so a trial is
// replayed exactly by its seed and number (kills placed by call count; kills placed by a timer
// land near the same moment).
#include <algorithm>

#include "platform/path.h"
#include "scenarios.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kCrashSection;

enum class Road { Upload, Download, Rollback };

const char* road_name(Road road) {
  switch (road) {
    case Road::Upload:
      return "upload";
    case Road::Download:
      return "download";
    case Road::Rollback:
      return "download rolled back";
  }
  return "?";
}

struct Trial {
  unsigned number = 0;
  Road road = Road::Upload;
  std::string id, name, content, source;
  std::string old_stage;        // a stage past 7 days that the trial's purge removes
  std::string old_incoming;     // an abandoned incoming directory past 7 days, or empty
  std::string old_incoming_id;  // the request ID in its name
};

std::vector<std::string> frames_for(const Trial& trial) {
  if (trial.road == Road::Upload) {
    return request::upload(trial.id, trial.name, trial.content, 64 * 1024);
  }
  return {request::stage_download(trial.id, trial.source, trial.name)};
}

// What the store looks like before the trial's bridge starts.
Trial prepare(const Home& home, Rng& rng, unsigned number, Road road) {
  home.reset_store();
  Trial trial;
  trial.number = number;
  trial.road = road;
  trial.id = rng.request_id();
  static constexpr const char* kExtensions[] = {".csv", ".dta", ".xlsx"};
  trial.name = "attachment-" + std::to_string(number) + kExtensions[rng.below(3)];
  std::size_t size = rng.chance(10) ? (1 << 20) + rng.below(2 << 20) : rng.below(200 * 1024);
  trial.content = rng.bytes(size);
  if (road != Road::Upload) {
    const std::string directory = home.inbox() + "/" + trial.id;
    testing::make_directories(directory);
    trial.source = directory + "/" + trial.name;
    testing::write_file(trial.source, trial.content);
  }
  trial.old_stage = rng.request_id();
  plant_stage(home, trial.old_stage, "old.csv", rng.bytes(rng.below(64 * 1024)),
              rfc3339_seconds_ago(kEightDays));
  if (rng.chance(40)) {
    trial.old_incoming_id = rng.request_id();
    trial.old_incoming = plant_incoming(home, rng, trial.old_incoming_id, kEightDays);
  }
  for (std::uint64_t young = rng.below(3); young > 0; --young) {
    plant_stage(home, rng.request_id(), "young.csv", rng.bytes(rng.below(4096)),
                rfc3339_seconds_ago(60));
  }
  return trial;
}

// Where in the request the process died, from the last call the shim saw (the killing one, or
// for a timer the one before it) and the calls before it.
std::string phase_of(const Home& home, const Trial& trial, const std::vector<TraceLine>& trace) {
  const TraceLine* last = nullptr;
  bool retired_own_stage = false;  // the rollback has renamed the new stage away
  for (const TraceLine& line : trace) {
    if (line.tag == "call") {
      last = &line;
      if (line.kind == "rename" && line.path == home.imports() + "/" + trial.id) {
        retired_own_stage = true;
      }
    }
  }
  if (last == nullptr) return "starting up";
  const std::string& path = last->path;
  auto under = [&](const std::string& base) {
    return path == base || path.rfind(base + "/", 0) == 0;
  };
  auto inside_incoming_of = [&](const std::string& id) {
    return path.find("/.incoming-" + id + "-") != std::string::npos;
  };
  auto inside_retired_of = [&](const std::string& id) {
    return path.find("/.retired-" + id + "-") != std::string::npos;
  };
  if (path.find("browser-extension-heartbeat") != std::string::npos) return "writing the heartbeat";
  if (under(home.terminals())) return "creating or expiring in the terminals root";
  if (path == home.imports() + "/.bridge.lock") return "taking the staging lock";
  if (under(home.imports() + "/" + trial.old_stage) || inside_retired_of(trial.old_stage)) {
    return "expiring an old stage";
  }
  if (!trial.old_incoming.empty() && (under(home.imports() + "/" + trial.old_incoming) ||
                                      inside_retired_of(trial.old_incoming_id))) {
    return "expiring an abandoned incoming directory";
  }
  if (retired_own_stage || inside_retired_of(trial.id)) return "rolling the stage back";
  if (inside_incoming_of(trial.id)) {
    return last->kind == "rename" ? "publishing the stage" : "building the stage";
  }
  if (under(home.imports() + "/" + trial.id)) return "publishing the stage";
  if (path == home.imports() || path == home.user_data()) return "listing or creating the roots";
  return "elsewhere in the user-data directory";
}

struct Calibration {
  long calls = 0;
  long long nanoseconds = 0;
};

// How many shim-visible calls, and how long, one undisturbed trial of each road takes.
Calibration calibrate(const Options& options, const Home& home, Road road) {
  Rng rng(derive_seed(options.seed, "crash-calibration", static_cast<unsigned>(road)));
  Trial trial = prepare(home, rng, 0, road);
  FaultPlan plan;
  plan.prefix = home.user_data();
  plan.kinds = "any";
  plan.trace = home.scratch("calibration.trace");
  (void)toolkit::remove_file(plan.trace);
  std::map<std::string, std::string> extra;
  if (road == Road::Rollback) extra["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  auto env = with_shim(home.environment(extra), options.programs, plan);
  (void)run_session(options.programs, env, frames_for(trial));
  // The timer starts at the first call under the user-data directory: its range is the span
  // from there to the last one.
  Calibration c;
  long long first = 0, last = 0;
  for (const TraceLine& line : read_trace(plan.trace)) {
    if (line.tag != "call") continue;
    c.calls = std::max(c.calls, line.index);
    if (first == 0) first = line.nanoseconds;
    last = line.nanoseconds;
  }
  c.nanoseconds = std::max(last - first, 1000LL);
  return c;
}

bool answered(const Session& s, std::size_t index, std::string_view status, bool reused) {
  return s.answers.size() > index && s.answers[index] && s.answers[index]->ok &&
         s.answers[index]->status == status && s.answers[index]->reused.value_or(false) == reused;
}

void run_trial(const Options& options, const Home& home, const Calibration (&calibration)[3],
               unsigned number, Ledger& ledger) {
  Rng rng(derive_seed(options.seed, "crash", number));
  const auto roll = rng.below(100);
  const Road road = roll < 35 ? Road::Upload : roll < 70 ? Road::Download : Road::Rollback;
  Trial trial = prepare(home, rng, number, road);
  const std::string replay = "trial " + std::to_string(number) + " (replay: --seed " +
                             std::to_string(options.seed) + " --trial " + std::to_string(number) +
                             ", " + road_name(road) + ")";

  FaultPlan plan;
  plan.prefix = home.user_data();
  plan.kinds = "any";
  plan.trace = home.scratch("trial.trace");
  (void)toolkit::remove_file(plan.trace);
  const Calibration& c = calibration[static_cast<unsigned>(road)];
  const bool timed = rng.chance(25);
  if (timed) {
    plan.kill_after_ns =
        1 + static_cast<long long>(rng.below(static_cast<std::uint64_t>(c.nanoseconds)));
  } else {
    plan.nth = 1 + static_cast<long>(rng.below(static_cast<std::uint64_t>(c.calls) + 2));
    plan.action = rng.chance(50) ? "kill-before" : "kill-after";
  }
  std::map<std::string, std::string> extra;
  if (road == Road::Rollback) extra["VARQUIN_FAKE_OPEN_EXIT"] = "1";
  const auto frames = frames_for(trial);
  Session session = run_session(options.programs,
                                with_shim(home.environment(extra), options.programs, plan), frames);
  const std::size_t last = frames.size() - 1;

  std::string phase = "finished first";
  if (session.killed()) {
    ledger.add(kSection, timed ? "bridges killed by a timer" : "bridges killed at a chosen call");
    std::vector<TraceLine> trace = read_trace(plan.trace);
    // The calls after a kill-after are not made; the killing call is the last one traced.
    phase = phase_of(home, trial, trace);
    ledger.add(kSection, "kills while " + phase);
  } else {
    ledger.add(kSection, "trials where the bridge finished before its kill");
    bool right = false;
    if (road == Road::Upload) right = answered(session, last, "staged", false);
    if (road == Road::Download) right = answered(session, last, "staged_and_launched", false);
    if (road == Road::Rollback) {
      right = session.answers.size() == 1 && session.answers[0] &&
              session.answers[0]->code == "app_launch_failed";
    }
    ledger.expect(right, kSection, replay + ": unkilled bridge answered wrongly");
    ledger.expect(session.raw.exit_status == 0, kSection, replay + ": unkilled bridge failed");
  }

  StoreRules rules;
  rules.incoming_allowed = true;
  rules.retired_allowed = true;
  StoreView view = inspect_store(home, rules);
  for (const std::string& problem : view.problems) {
    ledger.violation(kSection, replay + ", killed " + phase + ": " + problem);
  }
  if (!view.retired.empty()) {
    ledger.add(kSection, "removals cut short, left under a name the census ignores",
               view.retired.size());
  }
  ledger.add(kSection, "store checks after a kill");
  if (!view.incoming.empty()) {
    ledger.add(kSection, "incoming directories left by a kill (counted by the census)",
               view.incoming.size() - (trial.old_incoming.empty()
                                           ? 0
                                           : std::count(view.incoming.begin(), view.incoming.end(),
                                                        trial.old_incoming)));
  }
  if (road == Road::Rollback && !session.killed()) {
    ledger.expect(!view.stages.count(trial.id), kSection,
                  replay + ": rolled back stage is still there");
  }
  // Repair what is broken so that one fault is reported once, not in every later trial.
  for (const std::string& name : view.broken)
    (void)toolkit::remove_tree(home.imports() + "/" + name);

  // Leftovers age past 7 days; the same request then succeeds and its purge clears them.
  for (const std::string& name : view.incoming) age_path(home.imports() + "/" + name, kEightDays);
  const bool had_stage = view.stages.count(trial.id) > 0;
  Session retry = run_session(options.programs, home.environment(), frames);
  const std::string status = road == Road::Upload ? "staged" : "staged_and_launched";
  ledger.expect(retry.answers.size() == frames.size() && answered(retry, last, status, had_stage),
                kSection,
                replay + ": the next request for the same ID did not succeed: " +
                    (retry.answers.size() > last && retry.answers[last] ? retry.answers[last]->raw
                                                                        : "no answer"));
  StoreView after = inspect_store(home);
  for (const std::string& problem : after.problems) {
    ledger.violation(kSection, replay + ", after the retry: " + problem);
  }
  auto stage = after.stages.find(trial.id);
  ledger.expect(stage != after.stages.end() && stage->second.sha256 == sha256_of(trial.content),
                kSection, replay + ": the retried stage does not hold the attachment");
  ledger.expect(!after.stages.count(trial.old_stage), kSection, replay + ": old stage not expired");
  ledger.add(kSection, "retries of the same request that succeeded",
             stage != after.stages.end() ? 1 : 0);
  if (road != Road::Upload) {
    // The browser's file is only ever read.
    auto source = platform::read_regular_file(trial.source, kMaxFileBytes);
    ledger.expect(source && *source == trial.content, kSection,
                  replay + ": the downloaded file changed");
    (void)toolkit::remove_tree(home.inbox() + "/" + trial.id);
  }
}

}  // namespace

void run_crashes(const Options& options, Ledger& ledger) {
  Home home;
  const Sentinels sentinels = take_sentinels(home);
  Calibration calibration[3];
  for (Road road : {Road::Upload, Road::Download, Road::Rollback}) {
    calibration[static_cast<unsigned>(road)] = calibrate(options, home, road);
    if (!ledger.expect(calibration[static_cast<unsigned>(road)].calls > 0, kSection,
                       std::string("the shim saw no call of the ") + road_name(road) + " road")) {
      return;
    }
  }
  if (options.only_trial) {
    run_trial(options, home, calibration, *options.only_trial, ledger);
  } else {
    for (unsigned t = 1; t <= options.crash_trials; ++t) {
      run_trial(options, home, calibration, t, ledger);
    }
  }
  ledger.add(kSection, "trials", options.only_trial ? 1 : options.crash_trials);
  // Downloads come and go with the trials; the two sentinel trees must not change at all.
  check_sentinels(home, sentinels, ledger, kSection, /*check_downloads=*/false);
}

}  // namespace varquin::stress
