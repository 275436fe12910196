// Regressions found by the stress driver, pinned with the same fault-injection shim: a stage that
// expiry or a rollback is removing must never be left without its manifest or its file, whether
// the removal fails half-way or the bridge dies in the middle of it; and what such a removal leaves
// holds no place in the store and is gone after the next request, however fresh.
#include <gtest/gtest.h>

#include "common.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {
namespace {

class HalfRemovedStage : public ::testing::Test {
 protected:
  // Runs `requests` with the shim acting on the n-th removal (unlink or rmdir) in the store.
  Session run_with_removal_fault(const std::vector<std::string>& requests, long nth,
                                 const std::string& action,
                                 std::map<std::string, std::string> extra = {}) {
    FaultPlan plan;
    plan.prefix = home_.imports();
    plan.kinds = "remove";
    plan.nth = nth;
    plan.action = action;
    plan.error = EIO;
    return run_session(programs_, with_shim(home_.environment(extra), programs_, plan), requests);
  }

  std::vector<std::string> new_upload() {
    return request::upload(rng_.request_id(), "new.csv", "a,b\n1,2\n", 1024);
  }

  // Nothing in the imports root may be a stage directory that is not complete, and whatever the
  // interrupted removal left is not counted by the census.
  void expect_no_partial_stage(const std::string& removed_id) {
    StoreRules rules;
    rules.retired_allowed = true;
    StoreView view = inspect_store(home_, rules);
    EXPECT_EQ(view.problems, std::vector<std::string>{});
    EXPECT_FALSE(testing::path_exists(home_.imports() + "/" + removed_id))
        << "the stage is still in place, half removed";
    EXPECT_EQ(view.census_stages, view.stages.size());
  }

  // The next request, with nothing failing, succeeds and clears every leftover.
  void expect_next_request_clears_leftovers() {
    Session next = run_session(programs_, home_.environment(), new_upload());
    ASSERT_EQ(next.answers.size(), 3u);
    EXPECT_TRUE(next.answers[2] && next.answers[2]->ok);
    StoreView view = inspect_store(home_);
    EXPECT_EQ(view.problems, std::vector<std::string>{});
    EXPECT_EQ(view.retired, std::vector<std::string>{});
  }

  bool launcher_is_stand_in() const {
    return std::string(VARQUIN_CONFIGURED_LAUNCHER) == VARQUIN_FAKE_OPEN_EXE;
  }

  Home home_;
  Rng rng_{7};
  Programs programs_{VARQUIN_BRIDGE_EXE, VARQUIN_FAULTSHIM};
};

TEST_F(HalfRemovedStage, ExpiryThatFailsHalfWayLeavesNothingThatHoldsAPlace) {
  // The stage holds two files, so its removal makes three calls; each one fails in turn.
  for (long nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("removal call " + std::to_string(nth) + " fails");
    home_.reset_store();
    const std::string old_id = rng_.request_id();
    plant_stage(home_, old_id, "old.csv", "old", rfc3339_seconds_ago(kEightDays));

    // The expiry is decided by the rename; the removal after it no longer holds up the request.
    Session s = run_with_removal_fault(new_upload(), nth, "fail");
    ASSERT_EQ(s.answers.size(), 3u);
    ASSERT_TRUE(s.answers[2]);
    EXPECT_TRUE(s.answers[2]->ok) << s.answers[2]->raw;
    expect_no_partial_stage(old_id);
    expect_next_request_clears_leftovers();
  }
}

TEST_F(HalfRemovedStage, BridgeKilledDuringExpiryLeavesNoHalfRemovedStage) {
  for (long nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("killed after removal call " + std::to_string(nth));
    home_.reset_store();
    const std::string old_id = rng_.request_id();
    plant_stage(home_, old_id, "old.csv", "old", rfc3339_seconds_ago(kEightDays));

    Session s = run_with_removal_fault(new_upload(), nth, "kill-after");
    EXPECT_TRUE(s.killed());
    expect_no_partial_stage(old_id);
    expect_next_request_clears_leftovers();
  }
}

TEST_F(HalfRemovedStage, RollbackThatFailsHalfWayLeavesNoHalfRemovedStage) {
  if (!launcher_is_stand_in()) GTEST_SKIP() << "built without the stand-in launcher";
  for (long nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("removal call " + std::to_string(nth) + " of the rollback fails");
    home_.reset_store();
    const std::string id = rng_.request_id();
    const std::string directory = home_.inbox() + "/" + id;
    testing::make_directories(directory);
    testing::write_file(directory + "/report.csv", "a,b\n1,2\n");

    Session s = run_with_removal_fault(
        {request::stage_download(id, directory + "/report.csv", "report.csv")}, nth, "fail",
        {{"VARQUIN_FAKE_OPEN_EXIT", "1"}});
    ASSERT_EQ(s.answers.size(), 1u);
    ASSERT_TRUE(s.answers[0]);
    EXPECT_EQ(s.answers[0]->code, "app_launch_failed");
    EXPECT_NE(s.raw.error.find("Varquin browser bridge rollback failed for " + id),
              std::string::npos);
    expect_no_partial_stage(id);
    expect_next_request_clears_leftovers();
  }
}

}  // namespace
}  // namespace varquin::stress
