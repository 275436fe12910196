#include "installer/store_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/clock.h"
#include "staging/capacity.h"
#include "staging/limits.h"
#include "staging/paths.h"
#include "staging/store.h"
#include "staging/survey.h"
#include "util/path.h"
#include "util/rfc3339.h"

namespace varquin::installer {

namespace {

using staging::StoreEntry;
using staging::StoreUsage;

constexpr std::string_view kRepairCommand = "varquin-bridge-install --repair-store";
constexpr std::int64_t kDaySeconds = 86'400;
constexpr std::uint64_t kMebibyte = 1'048'576;

std::string when(util::Instant instant) {
  return util::format_rfc3339_millis_z(instant);
}

// "12.5 MiB", rounded down to a tenth.
std::string mebibytes(std::uint64_t bytes) {
  return std::to_string(bytes / kMebibyte) + "." +
         std::to_string(bytes % kMebibyte * 10 / kMebibyte) + " MiB";
}

std::string counted(std::uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string_view noun(StoreEntry::Kind kind) {
  switch (kind) {
    case StoreEntry::Kind::Stage:
      return "stage";
    case StoreEntry::Kind::Incoming:
      return "incoming directory";
    case StoreEntry::Kind::TerminalRecord:
      return "terminal record";
    case StoreEntry::Kind::Retired:
      break;
  }
  return "retired directory";
}

// "the stage browser-imports/<ID>, dated 2028-01-15T08:00:00.000Z (365 days ahead)".
std::string described(const StoreEntry& entry, util::Instant now) {
  const bool record = entry.kind == StoreEntry::Kind::TerminalRecord;
  // To the nearest day: what was dated a year ahead a moment ago reads so.
  const std::int64_t days =
      (util::whole_seconds_between(now, entry.dated) + kDaySeconds / 2) / kDaySeconds;
  return "the " + std::string(noun(entry.kind)) + " " +
         util::join_path(record ? staging::kTerminalsRootName : staging::kImportsRootName,
                         entry.name) +
         (entry.dated_by_itself ? ", last modified " : ", dated ") + when(entry.dated) + " (" +
         counted(static_cast<std::uint64_t>(days), "day", "days") + " ahead)";
}

// Stages and incoming directories first, then records, each by name: the order a person scans.
void sort_by_place(std::vector<StoreEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const StoreEntry& a, const StoreEntry& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.name < b.name;
  });
}

// Whether the bridge would take an import of one byte into a store holding `usage`: anything
// less full takes some import, a store that refuses this refuses every one.
bool has_room(const StoreUsage& usage) {
  return staging::check_capacity(usage, 1).has_value();
}

// What to do about a store that refuses every new import, where `blocking` entries dated ahead
// are removable and the `rest` clears by itself.
std::string remedy(const std::vector<StoreEntry>& blocking, const std::vector<StoreEntry>& rest,
                   util::Instant now, bool stages) {
  std::string clears = "it makes room by itself at " + when(staging::room_from(rest, now)) +
                       ", when its oldest entries reach 7 days";
  if (stages) clears += " (sooner as Varquin takes its pending imports over)";
  if (blocking.empty()) return clears;
  std::string repair = "run " + std::string(kRepairCommand) + " to remove the " +
                       counted(blocking.size(), "entry", "entries") +
                       " dated more than a day ahead (below), which would keep it full for as " +
                       "long as the clock ran ahead";
  if (has_room(staging::usage_of(rest, now))) return repair;
  return repair + "; then " + clears;
}

// One cap: `ok` while there is room under it, else what keeps every import out and what to do.
void cap_line(Report& report, const std::string& what, bool room, const std::string& remedy) {
  if (room) {
    report.pass(what);
  } else {
    report.fail(what + ", so the bridge refuses every new import (capacity_exceeded): " + remedy);
  }
}

// A failure of the store, for a person.
auto store_failure(const std::string& user_data) {
  return [user_data](const BridgeError& error) {
    if (error.code == ErrorCode::LockTimeout) {
      return "the staging lock of the store at " + user_data +
             " is still held after 2 s (a bridge is staging an import, or another repair runs): " +
             error.message + " (lock_timeout). Nothing was removed; run it again in a moment.";
    }
    return "cannot repair the store at " + user_data + ": " + error.message + " (" +
           std::string(code_text(error.code)) + ")";
  };
}

// Under the lock, at the store's instant: what blocks, surveyed again and removed, each said.
tools::Outcome<void> remove_blocking(staging::Store& store, std::ostream& steps) {
  const auto failure = store_failure(store.paths().user_data);
  VARQUIN_ASSIGN_OR_RETURN(auto held, store.lock(), failure);
  // Decided again under the lock: bridges may have changed the store since the first look.
  VARQUIN_ASSIGN_OR_RETURN(auto entries, store.survey(), failure);
  sort_by_place(entries);
  bool removed = false;
  for (const StoreEntry& entry : entries) {
    if (!entry.blocks(store.now())) continue;
    VARQUIN_RETURN_IF_ERROR(store.remove_entry(held, entry), failure);
    steps << "Removed " << described(entry, store.now()) << "\n";
    removed = true;
  }
  if (!removed) steps << "Nothing to repair: what blocked new imports is gone already\n";
  return {};
}

}  // namespace

void check_store(Report& report, const std::string& user_data) {
  report.section("Staging store", user_data);
  const util::Instant now = platform::utc_now();
  auto entries = staging::survey_existing(staging::StorePaths{user_data});
  if (!entries) {
    report.fail(
        "the store cannot be surveyed, so the bridge fails every new import the same way: " +
        entries.error().message + " (" + std::string(code_text(entries.error().code)) + ")");
    return;
  }
  // As the next import finds it: what has expired by now goes first.
  const StoreUsage usage = staging::usage_of(*entries, now);
  std::vector<StoreEntry> blocking, rest;
  for (StoreEntry& entry : *entries) {
    (entry.blocks(now) ? blocking : rest).push_back(std::move(entry));
  }
  const bool room = has_room(usage);
  const std::string stage_remedy = room ? "" : remedy(blocking, rest, now, true);
  cap_line(
      report,
      "stages: " + std::to_string(usage.stages) + " of " + std::to_string(staging::kStageLimit),
      has_room({usage.stages, 0, 0}), stage_remedy);
  cap_line(report,
           "bytes: " + mebibytes(usage.bytes) + " of " +
               std::to_string(staging::kByteLimit / kMebibyte) + " MiB",
           has_room({0, usage.bytes, 0}), stage_remedy);
  cap_line(report,
           "terminal records: " + std::to_string(usage.terminal_records) + " of " +
               std::to_string(staging::kTerminalRecordLimit),
           has_room({0, 0, usage.terminal_records}),
           room ? "" : remedy(blocking, rest, now, false));
  if (blocking.empty()) return;
  sort_by_place(blocking);
  if (room) {
    report.warn(counted(blocking.size(), "entry is", "entries are") +
                " dated more than a day ahead, by a clock that ran ahead: each holds a place in " +
                "the store until 7 days past its date; " + std::string(kRepairCommand) +
                " removes them (named below)");
  }
  for (const StoreEntry& entry : blocking) report.note(described(entry, now));
}

tools::Outcome<void> repair_store(const std::string& user_data, bool dry_run, std::ostream& steps) {
  const staging::StorePaths paths{user_data};
  const auto failure = store_failure(user_data);
  // A first look without the lock: a store with nothing to remove is left as it is, not even
  // created.
  const util::Instant now = platform::utc_now();
  VARQUIN_ASSIGN_OR_RETURN(auto entries, staging::survey_existing(paths), failure);
  std::erase_if(entries, [now](const StoreEntry& entry) { return !entry.blocks(now); });
  if (entries.empty()) {
    steps << "Nothing to repair: nothing in the store at " << user_data << " blocks new imports\n";
    return {};
  }
  if (dry_run) {
    sort_by_place(entries);
    for (const StoreEntry& entry : entries) {
      steps << "Would remove " << described(entry, now) << "\n";
    }
    return {};
  }
  VARQUIN_ASSIGN_OR_RETURN(auto store, staging::Store::open(paths), failure);
  auto removed = remove_blocking(store, steps);
  // What was retired goes once the lock is released, as after a bridge's purge.
  store.remove_retired();
  return removed;
}

}  // namespace varquin::installer
