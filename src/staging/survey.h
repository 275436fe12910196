// What the store holds, judged entry by entry without changing anything: the instant each entry's
// age is taken from, what it adds to the census, and which entries are the bridge's own leftovers.
// The purge acts on it, the census counts it, and the installer's diagnosis shows it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/directory.h"
#include "staging/capacity.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "util/rfc3339.h"

namespace varquin::staging {

struct StoreEntry {
  enum class Kind {
    Stage,           // a stage directory: dated by its manifest's createdAt
    Incoming,        // an incoming directory: dated by itself
    Retired,         // what a removal left: removed by the next purge, whatever its age
    TerminalRecord,  // a regular file of the terminals root: dated by its record's finalizedAt
  };
  Kind kind;
  std::string name;
  platform::FileIdentity identity;
  util::Instant dated{};
  // Dated by its own modification time: it is not what the bridge can judge (a stage without a
  // manifest it accepts, a date that does not parse, a terminal file that is not a record).
  bool dated_by_itself = false;
  std::uint64_t bytes = 0;  // what a stage or incoming directory adds to the census

  bool counted() const { return kind != Kind::Retired; }
  // 7 days old or older; what was retired is always due. A date ahead is never expired.
  bool expired(util::Instant now) const;
  // Counted and dated more than a day ahead of `now`: it holds its place in the store for as long
  // as the clock that dated it ran ahead, so it does not clear by itself soon.
  bool blocks(util::Instant now) const;
  // The instant from which it is expired.
  util::Instant expires_at() const;
};

// What a request judges itself, and a survey for it leaves out: its own stage, terminal record and
// incoming directory.
struct OwnEntries {
  std::string_view request_id;
  std::string_view incoming_name;
};

// Every entry of both roots that is the bridge's, in listing order: stage directories (by any
// name but a hidden one), incoming and retired directories in the imports root; regular files in
// the terminals root. Anything else (other hidden directories, links, files in the imports root,
// the lock file) is not the bridge's and counts for nothing. Links are never followed. Only a
// failure of the environment (or an entry of the imports root whose kind cannot be read) fails.
Result<std::vector<StoreEntry>> survey_store(const platform::Directory& imports,
                                             const platform::Directory& terminals,
                                             const OwnEntries& own = {});

// The same for the store at `paths` as it is, creating nothing: a root that does not exist holds
// nothing (the tools, the tests and the installer's diagnosis look at a store this way).
Result<std::vector<StoreEntry>> survey_existing(const StorePaths& paths);

// The census of the entries that stay at `now`.
StoreUsage usage_of(const std::vector<StoreEntry>& entries, util::Instant now);
// The census of every entry that counts, whatever its age.
StoreUsage census_of(const std::vector<StoreEntry>& entries);

// The first instant from `now` on at which the entries that stay leave room for a new stage of
// one byte: `now` when there is room already, else the expiry that makes room.
util::Instant room_from(const std::vector<StoreEntry>& entries, util::Instant now);

// One stage directory held open, judged from its manifest as it was read (or why it was not).
Result<StoreEntry> judge_stage(std::string_view name, const platform::Directory& stage,
                               const Result<ImportManifest>& manifest);

// One terminal file, judged from its record as it was read (or why it was not).
Result<StoreEntry> judge_terminal(const platform::Directory& terminals, std::string_view name,
                                  const Result<TerminalRecord>& record);

}  // namespace varquin::staging
