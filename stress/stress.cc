// varquin-stress: drives the real bridge executables through pipes until the store has been
// shown, with figures, to lose nothing and never to publish half a stage.
//
//   varquin-stress [quick|full] [--seed N] [--only SCENARIO] [--trial N] [--strict-lock]
//                  [--bridge PATH] [--shim PATH]
//
// Scenarios: concurrency, crash, faults, hostile, swaps, slow-source. The exit status is 0 when
// every invariant held, 1 when one broke, 2 on a usage error and 77 when nothing could be proved:
// the bridge was not built with the stand-in launcher (nothing plays the desktop app) or is linked
// statically (the fault shim cannot be preloaded).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scenarios.h"

namespace {

using namespace varquin::stress;

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: varquin-stress [quick|full] [--seed N] [--only concurrency|crash|faults|"
               "hostile|swaps|slow-source] [--trial N] [--strict-lock] [--bridge PATH] "
               "[--shim PATH]\n");
  std::exit(2);
}

struct Command {
  Options options;
  std::string only;
};

std::uint64_t number(const char* text) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') usage();
  return value;
}

Command parse(int argc, char** argv) {
  Command command;
  command.options.programs = Programs{VARQUIN_BRIDGE_EXE, VARQUIN_FAULTSHIM};
  bool full = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "quick") {
      full = false;
    } else if (arg == "full") {
      full = true;
    } else if (arg == "--seed") {
      command.options.seed = number(value());
    } else if (arg == "--only") {
      command.only = value();
    } else if (arg == "--trial") {
      command.options.only_trial = static_cast<unsigned>(number(value()));
    } else if (arg == "--strict-lock") {
      command.options.strict_lock = true;
    } else if (arg == "--bridge") {
      command.options.programs.bridge = value();
    } else if (arg == "--shim") {
      command.options.programs.shim = value();
    } else {
      usage();
    }
  }
  Options& o = command.options;
  o.full = full;
  o.bridges = 8;
  o.requests_per_bridge = full ? 200 : 60;
  o.crash_trials = full ? 600 : 30;
  o.race_rounds = full ? 400 : 16;
  o.every_errno = full;
  return command;
}

unsigned long long figure(const Ledger& l, const char* section, const char* name) {
  return static_cast<unsigned long long>(l.get(section, name));
}

// Every scenario but the hostile one needs the shim inside the bridge; a bridge linked statically
// cannot load it, and a run without it would prove nothing.
bool shim_reaches_bridge(const Programs& programs) {
  Home home;
  FaultPlan plan;
  plan.prefix = home.user_data();
  plan.kinds = "any";
  plan.trace = home.scratch("preflight.trace");
  // Starting up writes the heartbeat into the user-data directory.
  (void)run_session(programs, with_shim(home.environment(), programs, plan),
                    {request::ping(Rng(1).request_id())});
  return !read_trace(plan.trace).empty();
}

unsigned long long sentinel_checks(const Ledger& l) {
  unsigned long long total = 0;
  for (const char* section : {kConcurrencySection, kCrashSection, kFaultSection, kHostileSection,
                              kSwapSection, kSlowSourceSection}) {
    total += figure(l, section, "sentinel checks (trees outside the store unchanged)");
  }
  return total;
}

// The lines the run is judged by.
void print_summary(const Ledger& l) {
  const char* c = kConcurrencySection;
  const char* k = kCrashSection;
  const char* f = kFaultSection;
  const char* h = kHostileSection;
  std::printf("\nsummary\n");
  std::printf(
      "  load held        %llu bridges at once: %llu requests, %llu answers; %llu stages "
      "created, %llu identical requests reused, %llu refused at capacity (most at once: "
      "%llu); %llu lock_timeout\n",
      figure(l, c, "bridge processes at once"), figure(l, c, "requests sent"),
      figure(l, c, "answers received"), figure(l, c, "stages created"),
      figure(l, c, "identical requests answered with the existing stage"),
      figure(l, c, "new stages refused at capacity (retryable)"),
      figure(l, c, "most stages seen at once (under the lock)"),
      figure(l, c, "lock_timeout answers"));
  std::printf(
      "  faults survived  %llu bridges killed with SIGKILL in %llu trials, %llu retries "
      "succeeded; %llu injected failures, %llu recoveries\n",
      figure(l, k, "bridges killed at a chosen call") + figure(l, k, "bridges killed by a timer"),
      figure(l, k, "trials"), figure(l, k, "retries of the same request that succeeded"),
      figure(l, f, "failures answered staging_failed, retryable") +
          figure(l, f, "harmless failures (heartbeat, unlock) answered with success"),
      figure(l, f, "requests that succeeded once the fault was gone"));
  std::printf(
      "  bad inputs tried %llu bad requests and planted links (%llu answered as expected), "
      "%llu link swaps raced against expiry and rollback\n",
      figure(l, h, "bad inputs tried"),
      figure(l, h, "bad inputs answered as expected (refused, or ignored)"),
      figure(l, h, "link swaps during expiry") + figure(l, h, "link swaps during rollback"));
  std::printf("  swaps raced      %llu requests against a racing swapper, %llu races won\n",
              figure(l, kSwapSection, kSwapRacesFigure), figure(l, kSwapSection, kSwapWinsFigure));
  std::printf(
      "  slow source      %llu large attachments staged while a source stalled %ld s; "
      "longest lock hold %llu ms\n",
      figure(l, kSlowSourceSection, "large attachments staged while a source stalled"),
      kSlowSourceStallMs / 1'000, figure(l, kSlowSourceSection, "longest staging-lock hold (ms)"));
  std::printf(
      "  nothing lost     %llu store checks after kills, %llu checks of the trees outside "
      "the store, %zu broken invariants\n",
      figure(l, k, "store checks after a kill"), sentinel_checks(l), l.violations());
}

}  // namespace

int main(int argc, char** argv) {
  Command command = parse(argc, argv);
  if (std::string_view(VARQUIN_CONFIGURED_LAUNCHER) != VARQUIN_FAKE_OPEN_EXE) {
    std::fprintf(stderr,
                 "varquin-stress: the bridge launches %s; build it with "
                 "-DVARQUIN_LAUNCHER=<build>/varquin-fake-open so the stand-in plays the app\n",
                 VARQUIN_CONFIGURED_LAUNCHER);
    return 77;
  }
  const Options& o = command.options;
  if (!shim_reaches_bridge(o.programs)) {
    std::fprintf(stderr,
                 "varquin-stress: the fault shim %s sees no call of the bridge %s (is the bridge "
                 "linked statically? configure with -DVARQUIN_STATIC_LINK=OFF)\n",
                 o.programs.shim.c_str(), o.programs.bridge.c_str());
    return 77;
  }
  std::printf(
      "varquin-stress %s, seed %llu: %u bridges x %u requests, %u crash trials, "
      "%s, %u race rounds\n",
      o.full ? "full" : "quick", static_cast<unsigned long long>(o.seed), o.bridges,
      o.requests_per_bridge, o.crash_trials,
      o.every_errno ? "every call x ENOSPC, EIO, EACCES" : "every call (busy store) x one error",
      o.race_rounds);
  std::fflush(stdout);

  Ledger ledger;
  struct Scenario {
    const char* name;
    void (*run)(const Options&, Ledger&);
  };
  constexpr Scenario kScenarios[] = {
      {"concurrency", run_concurrency}, {"crash", run_crashes}, {"faults", run_faults},
      {"hostile", run_hostile},         {"swaps", run_swaps},   {"slow-source", run_slow_source}};
  bool ran = false;
  for (const Scenario& scenario : kScenarios) {
    if (!command.only.empty() && command.only != scenario.name) continue;
    if (o.only_trial && std::string_view(scenario.name) != "crash") continue;
    ran = true;
    const auto began = std::chrono::steady_clock::now();
    scenario.run(o, ledger);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began);
    std::printf("  %-12s done in %.1f s, %zu broken invariants so far\n", scenario.name,
                seconds.count(), ledger.violations());
    std::fflush(stdout);
  }
  if (!ran) usage();
  ledger.print(stdout);
  print_summary(ledger);
  const bool held = ledger.violations() == 0;
  std::printf("\n%s\n", held ? "NOTHING LOST: every invariant held."
                             : "INVARIANTS BROKEN: see the list above (replay with the seed).");
  return held ? 0 : 1;
}
