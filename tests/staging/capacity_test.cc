#include "staging/capacity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <vector>

#include "staging/limits.h"
#include "staging/store_fixture.h"
#include "staging/survey.h"
#include "toolkit/fs.h"

namespace varquin::staging {
namespace {

using test::kNow;
using test::numbered_id;
using test::seconds_before;
using testing::expect_failure;

constexpr std::int64_t kWeek = 604'800;

void set_mtime(const std::string& path, util::Instant instant) {
  timespec times[2] = {{instant.seconds, 0}, {instant.seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class StagingExpiry : public test::StoreTest {
 protected:
  std::string incoming(unsigned n) const {
    return store.imports_root() + "/.incoming-" + numbered_id(n) + "-" + std::string(32, 'a');
  }
};

TEST_F(StagingExpiry, StagesAndIncomingDirectoriesExpireAfterSevenDays) {
  plant_stage(manifest_for(numbered_id(1), 1, seconds_before(kNow, kWeek)));
  plant_stage(manifest_for(numbered_id(2), 1, seconds_before(kNow, kWeek - 1)));
  plant_stage(manifest_for(numbered_id(3), 1, seconds_before(kNow, -kWeek)));
  // Truncated to whole seconds, 604,799.5 s is not yet a week.
  plant_stage(manifest_for(numbered_id(4), 1, {kNow.seconds - kWeek, 500'000'000}));
  ImportManifest offset = manifest_for(numbered_id(5), 1, kNow);
  offset.created_at = "2027-01-08T10:00:00+02:00";  // exactly a week before, as an instant
  plant_stage(offset);
  testing::make_directories(incoming(6) + "/nested");
  testing::write_file(incoming(6) + "/nested/data.csv", "abc");
  set_mtime(incoming(6), seconds_before(kNow, kWeek));
  testing::make_directories(incoming(7));
  set_mtime(incoming(7), seconds_before(kNow, kWeek - 1));

  ASSERT_TRUE(purge());
  EXPECT_EQ(stages(),
            (std::vector<std::string>{".incoming-" + numbered_id(7) + "-" + std::string(32, 'a'),
                                      numbered_id(2), numbered_id(3), numbered_id(4)}));
}

// What the bridge cannot judge by a date of its own is dated by its own modification time, so that
// nothing holds a place in the store forever; what is not the bridge's is neither counted nor
// removed, and a date still ahead keeps an entry.
TEST_F(StagingExpiry, EntriesWithoutATrustworthyDateExpireByTheirOwnAge) {
  struct Case {
    std::string what;
    std::function<std::string(unsigned n)> plant;  // returns the entry's path
    bool expires_at_a_week;
  };
  const util::Instant old = seconds_before(kNow, 10 * kWeek);
  const std::vector<Case> cases = {
      {"a stage without a manifest",
       [&](unsigned n) {
         testing::make_directories(store.stage_directory(numbered_id(n)));
         return store.stage_directory(numbered_id(n));
       },
       true},
      // Its retired name could not hold it: the name it is retired under must not depend on it.
      {"a stage whose name is as long as a name may be",
       [&](unsigned n) {
         const std::string path =
             store.imports_root() + "/" + std::string(254, 'a') + char('a' + n);
         testing::make_directories(path);
         return path;
       },
       true},
      {"a manifest whose date does not parse",
       [&](unsigned n) {
         ImportManifest m = manifest_for(numbered_id(n), 1, old);
         m.created_at = "last week";
         plant_stage(m);
         return store.stage_directory(numbered_id(n));
       },
       true},
      {"a manifest that claims more than an attachment may hold",
       [&](unsigned n) {
         plant_stage(manifest_for(numbered_id(n), std::numeric_limits<std::uint64_t>::max(), kNow));
         return store.stage_directory(numbered_id(n));
       },
       true},
      {"a manifest dated ahead",
       [&](unsigned n) {
         plant_stage(manifest_for(numbered_id(n), 1, seconds_before(kNow, -kWeek)));
         return store.stage_directory(numbered_id(n));
       },
       false},
      {"a hidden directory that is not the bridge's",
       [&](unsigned n) {
         testing::make_directories(store.imports_root() + "/.cache" + std::to_string(n));
         return store.imports_root() + "/.cache" + std::to_string(n);
       },
       false},
      {"a terminal file that is not a record",
       [&](unsigned n) {
         testing::make_directories(store.terminals_root());
         testing::write_file(store.terminals_root() + "/notes-" + std::to_string(n), "");
         return store.terminals_root() + "/notes-" + std::to_string(n);
       },
       true},
      {"a terminal record that does not parse",
       [&](unsigned n) {
         testing::make_directories(store.terminals_root());
         testing::write_file(store.terminal_record(numbered_id(n)), "{");
         return store.terminal_record(numbered_id(n));
       },
       true},
  };
  for (std::int64_t age : {kWeek - 1, kWeek}) {
    for (unsigned i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].what + ", " + std::to_string(age) + " s old");
      const std::string path = cases[i].plant(i);
      set_mtime(path, seconds_before(kNow, age));
      ASSERT_TRUE(purge());
      EXPECT_EQ(testing::path_exists(path), !(cases[i].expires_at_a_week && age >= kWeek));
      (void)toolkit::remove_tree(path);
    }
  }
  // A link to an old stage elsewhere is neither followed nor removed.
  plant_manifest(dir / ("outside/" + numbered_id(9)), manifest_for(numbered_id(9), 1, old));
  ASSERT_EQ(::symlink((dir / ("outside/" + numbered_id(9))).c_str(),
                      store.stage_directory(numbered_id(9)).c_str()),
            0);
  ASSERT_TRUE(purge());
  EXPECT_TRUE(testing::path_exists(store.stage_directory(numbered_id(9))));
  EXPECT_TRUE(testing::path_exists(dir / ("outside/" + numbered_id(9) + "/request.json")));
}

TEST_F(StagingExpiry, TerminalRecordsExpireWhenTheyNameTheirOwnRequest) {
  auto record = [&](unsigned n, std::int64_t age) {
    return terminal_for(manifest_for(numbered_id(n), 1, kNow), seconds_before(kNow, age));
  };
  plant_terminal(record(1, kWeek));
  plant_terminal(record(2, kWeek - 1));
  plant_terminal(record(3, kWeek), numbered_id(4) + ".json");  // carries another request ID
  plant_terminal(record(5, kWeek), numbered_id(5));            // no extension: still its name
  plant_terminal(record(6, kWeek), "notes.json");
  testing::write_file(store.terminal_record(numbered_id(7)), "{");
  // Files that fail the record tests are dated by their own age instead: fresh here.
  for (const std::string& name : testing::list_names(store.terminals_root())) {
    set_mtime(store.terminals_root() + "/" + name, kNow);
  }

  ASSERT_TRUE(purge());
  EXPECT_EQ(testing::list_names(store.terminals_root()),
            (std::vector<std::string>{numbered_id(2) + ".json", numbered_id(4) + ".json",
                                      numbered_id(7) + ".json", "notes.json"}));
}

TEST_F(StagingExpiry, AFailedRemovalFailsThePurge) {
  EXPECT_TRUE(purge());  // missing roots: nothing to purge
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  plant_stage(manifest_for(numbered_id(1), 1, seconds_before(kNow, kWeek)));
  ASSERT_EQ(::chmod(store.imports_root().c_str(), 0555), 0);
  auto purged = purge();
  ::chmod(store.imports_root().c_str(), 0755);
  expect_failure(purged, "Unable to expire browser import: ", ErrorCode::StagingFailed);
}

class StagingCapacity : public test::StoreTest {};

TEST_F(StagingCapacity, CensusOfTheStore) {
  const StoreUsage empty = census();
  EXPECT_EQ(empty.stages + empty.bytes + empty.terminal_records, 0u);

  plant_stage(manifest_for(numbered_id(1), 100, kNow));
  plant_stage(manifest_for(numbered_id(2), 1'000, kNow));
  testing::make_directories(store.stage_directory("any-other-name"));  // counted, no bytes
  testing::make_directories(store.imports_root() + "/.cache");         // ignored
  const std::string incoming =
      store.imports_root() + "/.incoming-" + numbered_id(3) + "-" + std::string(32, 'f');
  testing::make_directories(incoming + "/deep/er");
  testing::write_file(incoming + "/a.csv", "12345");
  testing::write_file(incoming + "/deep/er/b.csv", "1234567");
  ASSERT_EQ(::symlink("a.csv", (incoming + "/link.csv").c_str()), 0);
  ASSERT_EQ(::symlink(numbered_id(1).c_str(), store.stage_directory(numbered_id(4)).c_str()), 0);
  testing::make_directories(store.terminals_root() + "/a-directory");
  testing::write_file(store.terminal_record(numbered_id(1)), "{");
  testing::write_file(store.terminals_root() + "/anything", "");
  ASSERT_EQ(::symlink("anything", (store.terminals_root() + "/link").c_str()), 0);

  // Dated now, as what was just planted is: nothing has expired.
  const StoreUsage usage = census(platform::utc_now());
  EXPECT_EQ(usage.stages, 4u);
  EXPECT_EQ(usage.bytes, 100u + 1'000u + 5u + 7u);
  EXPECT_EQ(usage.terminal_records, 2u);
}

TEST(StagingCapacityRule, Boundaries) {
  constexpr std::uint64_t kMiB = 1 << 20;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::pair<StoreUsage, std::uint64_t> accepted[] = {
      {{19, 0, 0}, 1}, {{0, 0, 256}, 1}, {{0, 500 * kMiB, 0}, 12 * kMiB}};
  const std::pair<StoreUsage, std::uint64_t> refused[] = {
      {{20, 0, 0}, 1}, {{0, 0, 257}, 1}, {{0, 500 * kMiB, 0}, 12 * kMiB + 1}, {{0, kMax, 0}, 1}};
  for (const auto& [usage, size] : accepted) {
    EXPECT_TRUE(check_capacity(usage, size)) << usage.stages << " " << usage.bytes;
  }
  for (const auto& [usage, size] : refused) {
    SCOPED_TRACE(::testing::Message() << usage.stages << " " << usage.bytes);
    expect_failure(check_capacity(usage, size),
                   "Varquin's pending browser import capacity has been reached",
                   ErrorCode::CapacityExceeded);
  }
}

// A clock set back leaves entries dated ahead, which hold their places until 7 days past their
// date; what is dated at most a day ahead (a zone or a drift) still clears by itself soon.
TEST(StagingBlocking, EntriesDatedMoreThanADayAheadBlockAndTheRestMakesRoomAsItExpires) {
  constexpr std::int64_t kDay = 86'400;
  using Kind = StoreEntry::Kind;
  auto entry = [](Kind kind, std::int64_t ahead, std::uint64_t bytes = 0) {
    return StoreEntry{kind, "e", {}, seconds_before(kNow, -ahead), false, bytes};
  };
  const std::pair<StoreEntry, bool> judged[] = {
      {entry(Kind::Stage, kDay), false},         {entry(Kind::Stage, kDay + 1), true},
      {entry(Kind::Incoming, 2 * kDay), true},   {entry(Kind::TerminalRecord, 365 * kDay), true},
      {entry(Kind::Retired, 365 * kDay), false}, {entry(Kind::Stage, -kWeek), false},
  };
  for (const auto& [e, blocks] : judged) {
    EXPECT_EQ(e.blocks(kNow), blocks) << static_cast<int>(e.kind) << " " << e.dated.seconds;
  }

  struct Case {
    const char* what;
    std::vector<StoreEntry> entries;
    std::int64_t room_in;  // seconds from now
  };
  auto many = [&](std::size_t n, Kind kind, std::int64_t ahead, std::uint64_t bytes = 0) {
    return std::vector<StoreEntry>(n, entry(kind, ahead, bytes));
  };
  auto with = [](std::vector<StoreEntry> entries, const StoreEntry& more) {
    entries.push_back(more);
    return entries;
  };
  const Case cases[] = {
      {"an empty store", {}, 0},
      {"19 stages", many(19, Kind::Stage, 0), 0},
      {"20 stages, the oldest 3 days old",
       with(many(19, Kind::Stage, 0), entry(Kind::Stage, -3 * kDay)), 4 * kDay},
      {"20 stages, one expired already", with(many(19, Kind::Stage, 0), entry(Kind::Stage, -kWeek)),
       0},
      {"257 records, the oldest 2 days old",
       with(many(256, Kind::TerminalRecord, 0), entry(Kind::TerminalRecord, -2 * kDay)), 5 * kDay},
      {"512 MiB, the oldest 64 MiB 1 day old",
       with(many(7, Kind::Stage, 0, kAttachmentLimitBytes),
            entry(Kind::Stage, -kDay, kAttachmentLimitBytes)),
       6 * kDay},
      {"20 stages dated a year ahead", many(20, Kind::Stage, 365 * kDay), 372 * kDay},
  };
  for (const Case& c : cases) {
    const util::Instant room = room_from(c.entries, kNow);
    EXPECT_EQ(util::whole_seconds_between(kNow, room), c.room_in) << c.what;
  }
}

}  // namespace
}  // namespace varquin::staging
