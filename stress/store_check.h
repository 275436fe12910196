// The invariant every scenario ends with, read straight from the disk: each stage directory holds
// exactly its staged file and a strictly valid "request.json" describing that file, the store
// holds no more than 20 stages, the bridge's own census agrees, and the sentinel trees are as
// they were.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common.h"

namespace varquin::stress {

struct StageView {
  std::string name;    // the staged file's name
  std::string sha256;  // of the file on disk, which the manifest agrees with
  std::uint64_t size = 0;
  std::string created_at;
};

struct StoreView {
  std::map<std::string, StageView> stages;  // complete stages by request ID
  std::vector<std::string> incoming;        // names of valid incoming directories
  std::vector<std::string> retired;         // what a removal left, under a ".retired-" name
  std::uint64_t stage_bytes = 0;            // manifests' sizeBytes
  std::uint64_t incoming_bytes = 0;         // regular files below incoming directories
  std::uint64_t census_stages = 0;          // the bridge's own census (managed_usage)
  std::uint64_t census_bytes = 0;
  std::vector<std::string> problems;  // each one a broken invariant
  std::vector<std::string> broken;    // names of the entries the problems are about

  std::uint64_t occupied() const { return stages.size() + incoming.size(); }
};

struct StoreRules {
  bool incoming_allowed = false;  // only after a process died mid-stage
  bool retired_allowed = false;   // only after a removal failed or was cut short
  // Other bridges may be building a stage or removing what they retired at this very moment, as
  // they do without the lock: only published stages count against the limit, and the census (a
  // second look) need not agree with this one.
  bool bridges_running = false;
  // Entries planted on purpose (names in the imports root) that the check leaves alone.
  std::set<std::string> tolerated;
};

StoreView inspect_store(const Home& home, const StoreRules& rules = {});

// Checks one stage directory; returns the problem, or nothing and fills `view`.
std::optional<std::string> check_stage(const std::string& directory, const std::string& id,
                                       StageView& view);

using testing::compare_snapshots;
using testing::Snapshot;
using testing::snapshot_tree;

// The trees that nothing may touch, and the browser's downloaded files (only read, ever).
struct Sentinels {
  Snapshot outside, inside, downloads;
};
Sentinels take_sentinels(const Home& home);
// Records every change as a violation of `section`; returns true when nothing changed. Scenarios
// whose requests create and remove downloads leave those out with `check_downloads` false.
bool check_sentinels(const Home& home, const Sentinels& before, Ledger& ledger,
                     const std::string& section, bool check_downloads = true);

// Writes a stage the way the bridge does (for planting old entries), without the lock: callers
// hold it or own the store.
void plant_stage(const Home& home, const std::string& id, const std::string& name,
                 const std::string& content, const std::string& created_at);
// Rewrites a stage's manifest with another createdAt, publishing it by rename.
bool redate_stage(const Home& home, const std::string& id, const std::string& created_at);
// An abandoned incoming directory with some content, dated `age_seconds` ago.
std::string plant_incoming(const Home& home, Rng& rng, const std::string& id,
                           std::int64_t age_seconds);

}  // namespace varquin::stress
