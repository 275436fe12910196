// The staging store as one request sees it: its two roots held open by descriptor, the staging
// lock while the request decides, and the request's one instant. Its operations are the store's
// vocabulary. What only the lock may decide (expiry and the census, the earlier answer for a
// request, publishing) takes the proof that it is held, so it cannot be called without it; the
// bytes of a new stage are written before, into an incoming directory no other request looks at.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/clock.h"
#include "platform/directory.h"
#include "staging/capacity.h"
#include "staging/incoming.h"
#include "staging/lock.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "staging/survey.h"
#include "util/rfc3339.h"

namespace varquin::staging {

enum class StageKind { Staged, Reused, AlreadyFinalized };

class Store;

struct StageOutcome {
  std::string request_id;
  std::optional<std::string> manifest_path;  // absent only for AlreadyFinalized
  bool created = false;                      // only a created stage may be rolled back
  StageKind kind = StageKind::Staged;
  // The directory a created stage was published as: a rollback removes that one and no other.
  std::optional<platform::FileIdentity> stage_identity;
  // The store it was published in, still held open: a rollback works in it without walking the
  // path again.
  std::shared_ptr<const Store> store;
};

// How an earlier stage of the same request ID is recognised as this request's own.
enum class ReuseRule {
  // Uploads: an existing stage directory must hold a manifest, whose filePath must be the staged
  // file path.
  StageDirectory,
  // Downloads: only an existing manifest is examined.
  ManifestFile,
};

struct StageRequest {
  std::string_view request_id;     // validated
  std::string_view original_name;  // normalised; also the staged file's name
  std::uint64_t size_bytes;
  std::string_view sha256;
  // The manifest's originalSourcePath; none when the staged file is its own source (uploads).
  std::optional<std::string_view> source_path;
  ReuseRule reuse_rule;
};

class Store {
 public:
  // Proof that this store holds the staging lock; the lock goes with it.
  class Held {
   public:
    Held(Held&&) noexcept = default;

   private:
    friend class Store;
    explicit Held(StagingLock lock) : lock_(std::move(lock)) {}
    StagingLock lock_;
  };

  // Creates both roots when missing (refusing a symbolic link anywhere in their paths) and opens
  // them; takes the request's instant (`now`, when given: tools and tests).
  static Result<Store> open(const StorePaths& paths);
  static Result<Store> open(const StorePaths& paths, util::Instant now);
  // The same without creating anything, for a look at a store that may not exist (none then).
  static Result<std::optional<Store>> open_existing(const StorePaths& paths,
                                                    util::Instant now = platform::utc_now());

  Store(Store&&) noexcept = default;
  Store& operator=(Store&&) = delete;

  const StorePaths& paths() const { return paths_; }
  const platform::Directory& imports() const { return imports_; }
  const platform::Directory& terminals() const { return terminals_; }
  util::Instant now() const { return now_; }

  // Takes the staging lock: polls every 25 ms for at most 2 s.
  Result<Held> lock() const;

  // A cheap look, without the lock, for anything the store may answer this request from (its
  // terminal record or its stage). Only what is decided under the lock counts.
  Result<bool> may_know(std::string_view request_id) const;

  // Every entry judged, nothing changed.
  Result<std::vector<StoreEntry>> survey() const;

  // One pass over each root: what has reached its age is renamed out of the store's view (removed
  // later by `remove_retired`), and the census of what stays is returned. The request's own
  // entries (`own`) are left to `earlier_answer`.
  Result<StoreUsage> purge_expired(const Held& held, const OwnEntries& own);

  // The answer the store already holds for the request: its terminal record (finalized, or
  // another request's data), or its stage (reused whole, or different or incomplete data). None
  // when the request is new. Its own record and stage are expired here when their time has come.
  Result<std::optional<StageOutcome>> earlier_answer(const Held& held, const StageRequest& request,
                                                     const StagingCandidate& candidate);

  // Takes an entry of a survey made under the lock out of the store whatever its date, as the
  // purge takes what has expired: a stage or incoming directory is retired by its identity (and
  // removed by `remove_retired`), a terminal record unlinked. One already gone is no failure.
  Status remove_entry(const Held& held, const StoreEntry& entry);

  // A fresh incoming directory of the imports root, for building a stage before the lock.
  Result<IncomingStage> begin_incoming(std::string_view request_id) const;

  // Renames the filled incoming directory onto the request's stage, then makes the rename durable.
  Status publish(const Held& held, IncomingStage& incoming, std::string_view request_id) const;

  // Takes the stage `request_id` out of the store: only the directory `expected` names (when
  // given; else the one found under the name). Failures carry `failure_prefix`, "staging_failed".
  Status retire(std::string_view request_id, std::optional<platform::FileIdentity> expected,
                std::string_view failure_prefix) const;

  // Removes what this request retired and what earlier removals left. Best effort, after the
  // lock: a leftover holds no place in the store, and the next purge tries again.
  void remove_retired();

 private:
  Store(StorePaths paths, platform::Directory imports, platform::Directory terminals,
        util::Instant now)
      : paths_(std::move(paths)),
        imports_(std::move(imports)),
        terminals_(std::move(terminals)),
        now_(now) {}

  Status expire(const StoreEntry& entry);
  Result<std::optional<StageOutcome>> finalized_answer(const StageRequest& request,
                                                       const StagingCandidate& candidate);
  Result<std::optional<StageOutcome>> stage_answer(const StageRequest& request,
                                                   const StagingCandidate& candidate);

  StorePaths paths_;
  platform::Directory imports_;
  platform::Directory terminals_;
  util::Instant now_;
  std::vector<std::string> retired_;  // names to remove once the lock is released
};

}  // namespace varquin::staging
