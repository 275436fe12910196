// The staging store in varquin-bridge-install's diagnosis, and --repair-store: a store that
// refuses every import fails the check with what to do, and the repair removes exactly what blocks
// imports, under the staging lock, and keeps everything a bridge or the app still needs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "staging/capacity.h"
#include "staging/limits.h"
#include "staging/store_fixture.h"
#include "staging/survey.h"
#include "support/bridge_process.h"
#include "support/test_support.h"
#include "toolkit/fs.h"

namespace varquin::staging {
namespace {

using test::numbered_id;
using test::seconds_before;
using testing::BridgeResult;

constexpr std::int64_t kDay = 86'400;
constexpr std::int64_t kYear = 365 * kDay;

// `seconds` from the real clock's now: the installer dates the store by it.
util::Instant from_now(std::int64_t seconds) {
  return seconds_before(platform::utc_now(), -seconds);
}

void set_mtime(const std::string& path, util::Instant instant) {
  timespec times[2] = {{instant.seconds, 0}, {instant.seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class InstallerStore : public test::StoreTest {
 protected:
  InstallerStore() {
    testing::make_directories(dir / "bin");
    EXPECT_EQ(::chmod((dir / "bin").c_str(), 0755), 0);
    testing::write_file(bridge_, testing::read_file(VARQUIN_BRIDGE_EXE));
    EXPECT_EQ(::chmod(bridge_.c_str(), 0755), 0);
    BridgeResult installed =
        run({"--extension-id", testing::kExtensionId, "--app-bundle", "/Applications/Varquin.app",
             "--user-data", store.user_data, "--bridge", bridge_, "--manifest-dir", hosts_,
             "--config", config_path_});
    EXPECT_EQ(installed.exit_status, 0) << installed.output << installed.error;
  }

  BridgeResult run(std::vector<std::string> arguments) const {
    return testing::run_installer(dir.path(), std::move(arguments));
  }
  BridgeResult check() const {
    return run(
        {"--check", "--bridge", bridge_, "--manifest-dir", hosts_, "--config", config_path_});
  }
  // The store found through the configuration, as the desktop app would ask for it.
  BridgeResult repair(std::vector<std::string> more = {}) const {
    std::vector<std::string> arguments{"--repair-store", "--config", config_path_};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return run(arguments);
  }

  void plant_stages(unsigned from, unsigned count, std::int64_t ahead,
                    std::uint64_t size = 1) const {
    for (unsigned n = from; n < from + count; ++n) {
      plant_stage(manifest_for(numbered_id(n), size, from_now(ahead)));
    }
  }
  void plant_records(unsigned from, unsigned count, std::int64_t ahead) const {
    for (unsigned n = from; n < from + count; ++n) {
      plant_terminal(terminal_for(manifest_for(numbered_id(n), 1, from_now(0)), from_now(ahead)));
    }
  }
  void empty_store() const {
    (void)toolkit::remove_tree(store.imports_root());
    (void)toolkit::remove_tree(store.terminals_root());
  }
  // What the next import finds: room for one byte.
  bool takes_an_import() const {
    auto entries = survey_existing(store);
    return entries && check_capacity(usage_of(*entries, platform::utc_now()), 1).has_value();
  }

  std::string bridge_ = dir / "bin/varquin-browser-bridge";
  std::string hosts_ = dir / "profile/NativeMessagingHosts";
  std::string config_path_ = dir / "config.json";
};

TEST_F(InstallerStore, CheckShowsEachCapAndFailsOnlyWhenTheStoreRefusesEveryImport) {
  const std::string refused = ", so the bridge refuses every new import (capacity_exceeded): ";
  const std::string repair = "run varquin-bridge-install --repair-store to remove the ";
  struct Case {
    const char* what;
    std::function<void()> plant;
    int exit_status;
    std::vector<std::string> lines;   // each in the output
    std::vector<std::string> absent;  // none in the output
  };
  const Case cases[] = {
      // The clock ran ahead a year while they were staged, and was put right since.
      {"20 stages dated a year ahead",
       [&] { plant_stages(0, 20, kYear); },
       1,
       {"FAIL  stages: 20 of 20" + refused + repair + "20 entries",
        "note  the stage browser-imports/" + numbered_id(7) + ", dated ", "(365 days ahead)",
        "ok    terminal records: 0 of 256"},
       {}},
      {"257 terminal records dated a year ahead",
       [&] { plant_records(0, 257, kYear); },
       1,
       {"FAIL  terminal records: 257 of 256" + refused + repair + "257 entries",
        "note  the terminal record browser-import-terminals/" + numbered_id(256) + ".json, dated "},
       {}},
      // Within the allowance for a clock's skew: it clears by itself within 8 days.
      {"20 stages dated an hour ahead",
       [&] { plant_stages(0, 20, 3'600); },
       1,
       {"FAIL  stages: 20 of 20" + refused + "it makes room by itself at "},
       {"--repair-store", "note"}},
      {"512 MiB staged today",
       [&] { plant_stages(0, 8, 0, kAttachmentLimitBytes); },
       1,
       {"ok    stages: 8 of 20", "FAIL  bytes: 512.0 MiB of 512 MiB" + refused},
       {"--repair-store"}},
      {"3 stages a year ahead, room for more",
       [&] { plant_stages(0, 3, kYear); },
       0,
       {"ok    stages: 3 of 20", "WARN  3 entries are dated more than a day ahead",
        "varquin-bridge-install --repair-store removes them"},
       {"FAIL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    empty_store();
    c.plant();
    BridgeResult checked = check();
    EXPECT_EQ(checked.exit_status, c.exit_status) << checked.output << checked.error;
    const auto section = checked.output.find("Staging store: " + store.user_data + "\n");
    ASSERT_NE(section, std::string::npos) << checked.output;
    const std::string store_lines = checked.output.substr(section);
    for (const std::string& line : c.lines) {
      EXPECT_NE(store_lines.find(line), std::string::npos) << line << "\n" << store_lines;
    }
    for (const std::string& text : c.absent) {
      EXPECT_EQ(store_lines.find(text), std::string::npos) << text << "\n" << store_lines;
    }
  }
}

TEST_F(InstallerStore, RepairRemovesWhatBlocksImportsAndKeepsWhatABridgeOrTheAppNeeds) {
  // What blocks: stages and records dated a year ahead, a directory dated by itself a year ahead.
  plant_stages(0, 20, kYear);
  plant_records(100, 257, kYear);
  const std::string undated = store.stage_directory("not-a-request");
  testing::make_directories(undated);
  set_mtime(undated, from_now(kYear));
  // What stays: a stage the app may be importing, one dated within the allowance, a bridge's
  // incoming directory at work, a finalized import's record, a hidden directory not the bridge's.
  plant_whole_stage(numbered_id(500), "a,b\n1,2\n", from_now(0));
  plant_stages(501, 1, 3'600);
  const std::string incoming = ".incoming-" + numbered_id(502) + "-" + std::string(32, 'c');
  testing::make_directories(store.imports_root() + "/" + incoming);
  testing::write_file(store.imports_root() + "/" + incoming + "/part.csv", "1,2");
  plant_records(503, 1, 0);
  testing::make_directories(store.imports_root() + "/.varquin-freed-x");
  const testing::Snapshot kept = testing::snapshot_tree(store.stage_directory(numbered_id(500)));
  ASSERT_FALSE(takes_an_import());
  EXPECT_EQ(check().exit_status, 1);

  BridgeResult repaired = repair();
  ASSERT_EQ(repaired.exit_status, 0) << repaired.output << repaired.error;
  EXPECT_EQ(occurrences(repaired.output, "Removed the stage browser-imports/00000000-"), 20u);
  EXPECT_EQ(occurrences(repaired.output, "Removed the terminal record "), 257u);
  EXPECT_NE(repaired.output.find("Removed the stage browser-imports/not-a-request, last modified "),
            std::string::npos);
  EXPECT_NE(repaired.output.find("ok    stages: 3 of 20"), std::string::npos) << repaired.output;

  EXPECT_EQ(stages(),
            (std::vector<std::string>{".incoming-" + numbered_id(502) + "-" + std::string(32, 'c'),
                                      ".varquin-freed-x", numbered_id(500), numbered_id(501)}));
  EXPECT_EQ(testing::list_names(store.terminals_root()),
            std::vector<std::string>{numbered_id(503) + ".json"});
  EXPECT_EQ(testing::compare_snapshots(
                kept, testing::snapshot_tree(store.stage_directory(numbered_id(500)))),
            std::vector<std::string>{});
  EXPECT_TRUE(takes_an_import());
  BridgeResult checked = check();
  EXPECT_EQ(checked.exit_status, 0) << checked.output;
}

TEST_F(InstallerStore, RepairChangesNothingWhenNothingBlocksOrForADryRun) {
  BridgeResult nothing = repair();
  EXPECT_EQ(nothing.exit_status, 0) << nothing.output << nothing.error;
  EXPECT_NE(nothing.output.find("Nothing to repair: nothing in the store at "), std::string::npos);
  EXPECT_FALSE(testing::path_exists(store.imports_root()));  // not even created
  plant_stages(0, 20, kYear);
  const testing::Snapshot before = testing::snapshot_tree(store.user_data);
  BridgeResult dry = repair({"--dry-run"});
  EXPECT_EQ(dry.exit_status, 0) << dry.output << dry.error;
  EXPECT_EQ(occurrences(dry.output, "Would remove the stage browser-imports/"), 20u);
  EXPECT_EQ(testing::compare_snapshots(before, testing::snapshot_tree(store.user_data)),
            std::vector<std::string>{});
}

TEST_F(InstallerStore, RepairWaitsForTheStagingLockAndSaysSoWhenABridgeHoldsIt) {
  plant_stages(0, 20, kYear);
  auto opened = Store::open(store);
  ASSERT_TRUE(opened);
  auto held = opened->lock();
  ASSERT_TRUE(held);
  BridgeResult refused = repair();
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.error.find("is still held after 2 s"), std::string::npos) << refused.error;
  EXPECT_NE(refused.error.find("(lock_timeout). Nothing was removed"), std::string::npos)
      << refused.error;
  EXPECT_EQ(stages().size(), 20u);
}

}  // namespace
}  // namespace varquin::staging
