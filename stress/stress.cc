// varquin-stress: drives the real bridge executables through pipes until the store has been
// shown, with figures, to lose nothing and never to publish half a stage.
//
//   varquin-stress [quick|full] [--seed N] [--only SCENARIO] [--trial N]
//                  [--bridge PATH] [--shim PATH]
//
// Scenarios: concurrency, crash, faults, hostile. The exit status is 0 when every invariant held,
// 1 when one broke, 2 on a usage error and 77 when the bridge was not built with the stand-in
// launcher (nothing could play the desktop app).
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
               "hostile] [--trial N] [--bridge PATH] [--shim PATH]\n");
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
  o.crash_trials = full ? 600 : 40;
  o.race_rounds = full ? 400 : 24;
  o.every_errno = full;
  return command;
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
  std::printf(
      "varquin-stress %s, seed %llu: %u bridges x %u requests, %u crash trials, "
      "%s, %u race rounds\n",
      o.full ? "full" : "quick", static_cast<unsigned long long>(o.seed), o.bridges,
      o.requests_per_bridge, o.crash_trials,
      o.every_errno ? "every call x ENOSPC, EIO, EACCES" : "every call x one error", o.race_rounds);
  std::fflush(stdout);

  Ledger ledger;
  struct Scenario {
    const char* name;
    void (*run)(const Options&, Ledger&);
  };
  constexpr Scenario kScenarios[] = {{"concurrency", run_concurrency},
                                     {"crash", run_crashes},
                                     {"faults", run_faults},
                                     {"hostile", run_hostile}};
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
  const bool held = ledger.violations() == 0;
  std::printf("\n%s\n", held ? "NOTHING LOST: every invariant held."
                             : "INVARIANTS BROKEN: see the list above (replay with the seed).");
  return held ? 0 : 1;
}
