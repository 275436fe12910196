// The six stress scenarios. Each runs in a home of its own, adds its figures to the ledger and
// records every broken invariant there.
#pragma once

#include <cstdint>
#include <optional>

#include "common.h"

namespace varquin::stress {

struct Options {
  bool full = false;
  std::uint64_t seed = 1;
  Programs programs;
  // Sizes; `full` picks the large ones.
  unsigned bridges = 8;
  unsigned requests_per_bridge = 200;
  unsigned crash_trials = 600;
  unsigned race_rounds = 300;
  bool every_errno = true;
  // A lock_timeout counts as broken unless a holder kept the lock 2 s, even when the wait starved
  // behind many short holds.
  bool strict_lock = false;
  // Replays one crash trial of the seed instead of all of them.
  std::optional<unsigned> only_trial;
};

// The ledger sections the scenarios report under.
inline constexpr const char* kConcurrencySection = "1. concurrency: bridges at once on one store";
inline constexpr const char* kCrashSection = "2. crash consistency: kill -9 while staging";
inline constexpr const char* kFaultSection = "3. fault injection: each call fails in turn";
inline constexpr const char* kHostileSection =
    "4. hostile paths: link swaps, planted links, bad requests";
inline constexpr const char* kSwapSection =
    "5. racing swappers: what the bridge checked, swapped for a link";
inline constexpr const char* kSlowSourceSection =
    "6. a slow source: others stage while one copy stalls";
// How long the slow source's copy stalls, in milliseconds; the summary states it.
inline constexpr long kSlowSourceStallMs = 6'000;
// Totals of the swap scenario over its attack classes.
inline constexpr const char* kSwapRacesFigure = "all classes: requests raced";
inline constexpr const char* kSwapWinsFigure = "all classes: races won (must be 0)";

void run_concurrency(const Options& options, Ledger& ledger);
void run_crashes(const Options& options, Ledger& ledger);
void run_faults(const Options& options, Ledger& ledger);
void run_hostile(const Options& options, Ledger& ledger);
void run_swaps(const Options& options, Ledger& ledger);
void run_slow_source(const Options& options, Ledger& ledger);

}  // namespace varquin::stress
