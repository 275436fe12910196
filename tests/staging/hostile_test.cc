// Another process of the same user racing the bridge on the file system, or leaving odd files in
// the store and the inbox. Races are run deterministically: the platform's race hook does the
// swap at the exact moment between a check and its use. In every case nothing outside the store
// changes and no success is answered.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "staging/capacity.h"
#include "staging/cleanup.h"
#include "staging/paths.h"
#include "staging/race.h"
#include "staging/stage_bytes.h"
#include "staging/stage_download.h"
#include "staging/store_fixture.h"
#include "staging/transaction.h"

namespace varquin::staging {
namespace {

using test::kId;
using test::numbered_id;

constexpr const char* kOtherId = "6ba7b810-9dad-11d1-80b4-00c04fd430c8";

class HostileStore;

// What a racing process does the first time the bridge reaches `point`.
struct Race {
  RacePoint point;
  std::function<void(HostileStore&)> action;
};

struct HostileCase {
  std::string name;
  std::vector<Race> races;                   // none: the setup alone is the attack
  std::function<void(HostileStore&)> setup;  // before the operation
  std::function<Status(HostileStore&)> operation;
  std::optional<std::string> refusal;  // a message, or a prefix ending in ": "; none: success
  ErrorCode code = ErrorCode::InvalidFile;
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

template <typename T>
Status status_of(const Result<T>& result) {
  if (result) return {};
  return std::unexpected(result.error());
}

class HostileStore : public test::StoreTest, public ::testing::WithParamInterface<HostileCase> {
 public:
  // The cases of the tables act on the fixture from outside it.
  using StoreTest::config;
  using StoreTest::dir;
  using StoreTest::manifest_for;
  using StoreTest::plant_stage;
  using StoreTest::store;

  const std::string inbox = dir / "Downloads/Varquin Inbox";
  const std::string request_dir = inbox + "/" + kId;
  const std::string file = request_dir + "/report.csv";
  // Nothing may touch this tree: a secret, a look-alike inbox and a look-alike stage.
  const std::string outside = dir / "outside";
  const std::string secret = outside + "/secret.csv";
  const std::string lookalike_inbox = outside + "/Varquin Inbox";
  const std::string lookalike_stage = outside + "/stage";
  // Where a racer puts what it moves out of the way.
  const std::string aside = dir / "aside";
  std::vector<std::string> moved;
  const std::vector<std::uint8_t> content{'a', ',', 'b', '\n'};

  void SetUp() override {
    testing::make_directories(request_dir);
    testing::write_file(file, "a,b\n");
    testing::make_directories(lookalike_inbox + "/" + kId);
    testing::write_file(secret, "secret,data\n");
    testing::write_file(lookalike_inbox + "/" + kId + "/report.csv", "secret,data\n");
    plant_manifest(lookalike_stage, manifest_for(kId, 4, test::kNow));
    testing::make_directories(aside);
  }

  Status upload() { return status_of(stage_bytes(config, kId, "report.csv", content)); }
  Status download() { return status_of(stage_download(config, kId, file, "report.csv")); }
  Status download(const std::string& path) {
    return status_of(stage_download(config, kId, path, "report.csv"));
  }
  Status cleanup(std::string_view id, const std::string& path) {
    return cleanup_download_container(id, path);
  }

  // Moves `path` aside and puts a link to `target` in its place.
  void swap_for_link(const std::string& path, const std::string& target) {
    const std::string moved_away = aside + "/" + std::to_string(moved.size());
    ASSERT_EQ(::rename(path.c_str(), moved_away.c_str()), 0) << path;
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    moved.push_back(moved_away);
  }
  // Undoes the last swap.
  void swap_back(const std::string& path) {
    ASSERT_EQ(::unlink(path.c_str()), 0) << path;
    ASSERT_EQ(::rename(moved.back().c_str(), path.c_str()), 0) << path;
  }

  // The one incoming directory of the imports root.
  std::string incoming() const {
    for (const std::string& name : stages()) {
      if (name.starts_with(kIncomingPrefix)) return store.imports_root() + "/" + name;
    }
    ADD_FAILURE() << "no incoming directory";
    return {};
  }

  void plant_expired_stage(const std::string& id) const {
    const util::Instant now = platform::utc_now();
    plant_stage(manifest_for(id, 4, test::seconds_before(now, 8 * 86'400)));
  }
};

TEST_P(HostileStore, NothingOutsideTheStoreChangesAndNothingFalseIsAnswered) {
  const HostileCase& c = GetParam();
  if (c.setup) c.setup(*this);
  const testing::Snapshot before = testing::snapshot_tree(outside);

  std::vector<bool> raced(c.races.size(), false);
  auto previous = set_race_hook([&](RacePoint point) {
    for (std::size_t i = 0; i < c.races.size(); ++i) {
      if (c.races[i].point == point && !raced[i]) {
        raced[i] = true;
        c.races[i].action(*this);
      }
    }
  });
  const Status result = c.operation(*this);
  set_race_hook(std::move(previous));

  EXPECT_EQ(std::count(raced.begin(), raced.end(), true), std::ssize(c.races));
  if (c.refusal) {
    testing::expect_failure(result, *c.refusal, c.code);
  } else {
    EXPECT_TRUE(result) << result.error().message;
  }
  EXPECT_EQ(testing::compare_snapshots(before, testing::snapshot_tree(outside)),
            std::vector<std::string>{});
  // A stage, when there is one, is a real directory of the store, never a link out of it.
  struct stat info {};
  if (::lstat(store.stage_directory(kId).c_str(), &info) == 0) {
    EXPECT_TRUE(S_ISDIR(info.st_mode));
  }
}

// An empty look-alike request directory outside: removing it would have looked like success.
void empty_both_request_directories(HostileStore& t) {
  ASSERT_EQ(::unlink(t.file.c_str()), 0);
  ASSERT_EQ(::unlink((t.lookalike_inbox + "/" + kId + "/report.csv").c_str()), 0);
}

const HostileCase kRaces[] = {
    {"BrowserFileSwappedForALinkOutside",
     {{RacePoint::BrowserFileOpen, [](HostileStore& t) { t.swap_for_link(t.file, t.secret); }}},
     {},
     [](HostileStore& t) { return t.download(); },
     "Unable to open browser import file: "},
    {"RequestDirectorySwappedForALinkToALookAlike",
     {{RacePoint::BrowserFileOpen,
       [](HostileStore& t) { t.swap_for_link(t.request_dir, t.lookalike_inbox + "/" + kId); }}},
     {},
     [](HostileStore& t) { return t.download(); },
     "Unable to open browser import file: "},
    // The resolved path then names the look-alike, which passes every check of its own.
    {"RequestDirectoryLinkedToALookAlikeAsItIsResolved",
     {{RacePoint::BrowserFileResolve,
       [](HostileStore& t) { t.swap_for_link(t.request_dir, t.lookalike_inbox + "/" + kId); }}},
     {},
     [](HostileStore& t) { return t.download(); },
     "Unable to open browser import file: "},
    {"RequestDirectoryLinkedAsItIsResolvedAndRestoredBeforeTheOpen",
     {{RacePoint::BrowserFileResolve,
       [](HostileStore& t) { t.swap_for_link(t.request_dir, t.lookalike_inbox + "/" + kId); }},
      {RacePoint::BrowserFileOpen, [](HostileStore& t) { t.swap_back(t.request_dir); }}},
     {},
     [](HostileStore& t) { return t.download(); },
     "Unable to open browser import file: the path changed while it was being checked"},
    {"IncomingDirectorySwappedBeforeAnUploadIsPublished",
     {{RacePoint::IncomingPublish,
       [](HostileStore& t) { t.swap_for_link(t.incoming(), t.lookalike_stage); }}},
     {},
     [](HostileStore& t) { return t.upload(); },
     "Unable to publish browser import request: ",
     ErrorCode::StagingFailed},
    {"IncomingDirectorySwappedBeforeADownloadIsPublished",
     {{RacePoint::IncomingPublish,
       [](HostileStore& t) { t.swap_for_link(t.incoming(), t.lookalike_stage); }}},
     {},
     [](HostileStore& t) { return t.download(); },
     "Unable to publish browser import request: ",
     ErrorCode::StagingFailed},
    {"IncomingDirectorySwappedAsSoonAsItIsMade",
     {{RacePoint::IncomingCreated,
       [](HostileStore& t) { t.swap_for_link(t.incoming(), t.lookalike_stage); }}},
     {},
     [](HostileStore& t) { return t.upload(); },
     "Unable to create temporary request directory: ",
     ErrorCode::StagingFailed},
    {"ExpiredStageSwappedForALinkAsItIsRemoved",
     {{RacePoint::StageRetire,
       [](HostileStore& t) {
         t.swap_for_link(t.store.stage_directory(numbered_id(1)), t.lookalike_stage);
       }}},
     [](HostileStore& t) { t.plant_expired_stage(numbered_id(1)); },
     [](HostileStore& t) { return t.upload(); },
     "Unable to expire browser import: ",
     ErrorCode::StagingFailed},
    {"ContainerSwappedForALinkBeforeCleanUp",
     {{RacePoint::CleanupRemove,
       [](HostileStore& t) { t.swap_for_link(t.inbox, t.lookalike_inbox); }}},
     empty_both_request_directories,
     [](HostileStore& t) { return t.cleanup(kId, t.request_dir); },
     "Unable to inspect cleanup directory: "},
    {"ContainerLinkedToALookAlikeAsItIsResolved",
     {{RacePoint::CleanupResolve,
       [](HostileStore& t) { t.swap_for_link(t.inbox, t.lookalike_inbox); }}},
     empty_both_request_directories,
     [](HostileStore& t) { return t.cleanup(kId, t.request_dir); },
     "Unable to inspect cleanup directory: "},
    {"RolledBackStageReplacedByAnotherDirectory",
     {{RacePoint::StageRetire,
       [](HostileStore& t) {
         const std::string stage = t.store.stage_directory(kId);
         ASSERT_EQ(::rename(stage.c_str(), (t.aside + "/staged").c_str()), 0);
         t.plant_stage(t.manifest_for(kId, 4, test::kNow));
       }}},
     {},
     [](HostileStore& t) -> Status {
       auto outcome = stage_bytes(t.config, kId, "report.csv", t.content);
       if (!outcome) return std::unexpected(outcome.error());
       auto rolled_back = rollback_new_stage(t.config, *outcome);
       // The replacement is put back, not removed.
       EXPECT_TRUE(testing::path_exists(t.store.manifest_path(kId)));
       return rolled_back;
     },
     "Unable to roll back failed browser import launch: ",
     ErrorCode::StagingFailed},
};

std::string case_name(const ::testing::TestParamInfo<HostileCase>& tested) {
  return tested.param.name;
}

INSTANTIATE_TEST_SUITE_P(Races, HostileStore, ::testing::ValuesIn(kRaces), case_name);

void make_fifo(const std::string& path) {
  ASSERT_TRUE(testing::make_fifo(path)) << path;
}

void make_sparse_terabyte(const std::string& path) {
  ASSERT_TRUE(testing::make_sparse_file(path, off_t{1} << 40)) << path;
}

const std::string kNul(1, '\0');

const HostileCase kPlanted[] = {
    {"FifoAsTheStagesManifest",
     {},
     [](HostileStore& t) { make_fifo(t.store.manifest_path(kId)); },
     [](HostileStore& t) { return t.upload(); },
     "Unable to read managed record: ",
     ErrorCode::RequestConflict},
    {"FifoAsTheTerminalRecord",
     {},
     [](HostileStore& t) { make_fifo(t.store.terminal_record(kId)); },
     [](HostileStore& t) { return t.upload(); },
     "Unable to read managed record: ",
     ErrorCode::RequestConflict},
    {"SparseTerabyteAsTheStagesManifest",
     {},
     [](HostileStore& t) { make_sparse_terabyte(t.store.manifest_path(kId)); },
     [](HostileStore& t) { return t.download(); },
     "Unable to read managed record: File too large (os error 27)",
     ErrorCode::RequestConflict},
    {"OddRecordsOfOtherRequestsNeitherExpireNorBlock",
     {},
     [](HostileStore& t) {
       make_fifo(t.store.manifest_path(numbered_id(1)));
       make_sparse_terabyte(t.store.manifest_path(numbered_id(2)));
       make_fifo(t.store.terminal_record(numbered_id(3)));
       make_sparse_terabyte(t.store.terminal_record(numbered_id(4)));
     },
     [](HostileStore& t) { return t.upload(); },
     std::nullopt},
    {"ImportsRootIsALinkOutside",
     {},
     [](HostileStore& t) {
       testing::make_directories(t.config.electron_user_data_path);
       ASSERT_EQ(::symlink(t.lookalike_stage.c_str(), t.store.imports_root().c_str()), 0);
     },
     [](HostileStore& t) { return t.upload(); },
     "Symlinked browser import paths are not allowed"},
    {"UserDataBelowALink",
     {},
     [](HostileStore& t) {
       ASSERT_EQ(::symlink(t.outside.c_str(), (t.dir / "linked").c_str()), 0);
       t.config.electron_user_data_path = t.dir / "linked/user-data";
       t.store = StorePaths{t.config.electron_user_data_path};
     },
     [](HostileStore& t) { return t.download(); },
     "Symlinked browser import paths are not allowed"},
    {"LockFileIsALinkOutside",
     {},
     [](HostileStore& t) {
       testing::make_directories(t.store.imports_root());
       ASSERT_EQ(::symlink(t.secret.c_str(), t.store.lock_file().c_str()), 0);
     },
     [](HostileStore& t) { return t.upload(); },
     "Unable to open staging lock: ",
     ErrorCode::StagingFailed},
    {"HardLinkInTheInboxToAFileOutside",
     {},
     [](HostileStore& t) {
       ASSERT_EQ(::unlink(t.file.c_str()), 0);
       ASSERT_EQ(::link(t.secret.c_str(), t.file.c_str()), 0);
     },
     [](HostileStore& t) { return t.download(); },
     "The browser import source is not a regular file"},
    // The system would read "…/<id>/notes.txt": another file of the request, staged as a csv.
    {"NulInTheBrowserFilePath",
     {},
     [](HostileStore& t) { testing::write_file(t.request_dir + "/notes.txt", "notes"); },
     [](HostileStore& t) {
       return t.download(t.request_dir + "/notes.txt" + kNul + "/Varquin Inbox/" + kId +
                         "/report.csv");
     },
     "Unable to inspect source path: Invalid argument (os error 22)"},
    // The system would remove "…/Varquin Inbox/<other id>", not the directory named.
    {"NulInTheCleanUpPath",
     {},
     [](HostileStore& t) { testing::make_directories(t.lookalike_inbox + "/" + kOtherId); },
     [](HostileStore& t) {
       return t.cleanup(kId, t.lookalike_inbox + "/" + kOtherId + kNul + "/Varquin Inbox/" + kId);
     },
     "Unable to inspect cleanup directory: Invalid argument (os error 22)"},
    {"CleanUpPathThatCannotBeInspected",
     {},
     [](HostileStore& t) {
       const std::string loop = t.inbox + "/" + kOtherId;
       ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
     },
     [](HostileStore& t) { return t.cleanup(kOtherId, t.inbox + "/" + kOtherId); },
     "Unable to inspect cleanup directory: "},
};

INSTANTIATE_TEST_SUITE_P(Planted, HostileStore, ::testing::ValuesIn(kPlanted), case_name);

class DeepIncomingTree : public test::StoreTest {};

TEST_F(DeepIncomingTree, TenThousandLevelsAreCountedAndExpiredUnder256Descriptors) {
  const std::string incoming_dir =
      store.imports_root() + "/.incoming-" + kId + "-0123456789abcdef0123456789abcdef";
  ASSERT_TRUE(testing::make_deep_tree(incoming_dir, 10'000, "12345"));
  testing::make_directories(store.terminals_root());
  // macOS allows a process 256 descriptors by default: a walk that holds one per level fails there.
  testing::ScopedDescriptorLimit limit(256);

  const StoreUsage usage = census(platform::utc_now());
  EXPECT_EQ(usage.stages, 1u);
  EXPECT_EQ(usage.bytes, 5u);

  const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, incoming_dir.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
  auto purged = purge(platform::utc_now());
  ASSERT_TRUE(purged) << purged.error().message;
  EXPECT_FALSE(testing::path_exists(incoming_dir));
}

}  // namespace
}  // namespace varquin::staging
