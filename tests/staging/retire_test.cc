// The bridge's own leftovers never hold a place in the store: what it retires (an expired stage, a
// rolled-back one, an incoming directory it discards) is renamed to a name the census ignores
// before it is removed, and whatever a failed removal leaves is gone after the next purge, however
// fresh it is. A mkdir that fails after it made the directory leaves nothing.
#include "staging/retire.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/fault.h"
#include "staging/capacity.h"
#include "staging/stage_bytes.h"
#include "staging/store_fixture.h"
#include "staging/transaction.h"
#include "support/faults.h"

namespace varquin::staging {
namespace {

using platform::FileOperation;
using test::kId;
using test::kNow;
using test::numbered_id;
using test::seconds_before;

constexpr std::int64_t kWeek = 604'800;

class Leftovers : public test::StoreTest {
 public:
  using StoreTest::config;
  using StoreTest::plant_whole_stage;
  using StoreTest::purge;

  Result<StageOutcome> upload(const std::string& id) {
    const std::string content = "a,b\n1,2\n";
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    return stage_bytes(config, id, "report.csv", bytes);
  }
  Result<StoreUsage> purge_now() const { return purge(platform::utc_now()); }
  std::vector<std::string> entries() const { return stages(); }
};

struct Leftover {
  const char* what;
  std::function<void(Leftovers&)> setup;
  FileOperation operation;
  const char* name;  // "*" at the end: any name that begins so
  bool after_the_call;
  std::function<bool(Leftovers&)> act;  // whether the request itself succeeded
  // An expiry is decided by the rename; what the removal after it leaves is the next purge's.
  bool request_fails = true;
};

void PrintTo(const Leftover& l, std::ostream* out) {
  *out << l.what;
}

const Leftover kLeftovers[] = {
    {"an expired stage whose removal fails half way",
     [](Leftovers& t) { t.plant_whole_stage(numbered_id(1), "x", seconds_before(kNow, kWeek)); },
     FileOperation::Remove, "report.csv", false, [](Leftovers& t) { return t.purge().has_value(); },
     false},
    {"a rolled-back stage whose removal fails half way", [](Leftovers&) {}, FileOperation::Remove,
     "report.csv", false,
     [](Leftovers& t) {
       auto outcome = t.upload(kId);
       return outcome && rollback_new_stage(t.config, *outcome).has_value();
     }},
    {"a discarded incoming directory whose removal fails half way", [](Leftovers&) {},
     FileOperation::Remove, "report.csv", false,
     [](Leftovers& t) {
       // The manifest cannot be written: the filled incoming directory is discarded.
       testing::ScopedFault full(FileOperation::CreateFile, "request.json.tmp", ENOSPC);
       return t.upload(kId).has_value();
     }},
    {"an incoming directory whose mkdir fails after making it", [](Leftovers&) {},
     FileOperation::CreateDirectory, ".incoming-*", true,
     [](Leftovers& t) { return t.upload(kId).has_value(); }},
};

class LeftoversTable : public Leftovers, public ::testing::WithParamInterface<Leftover> {};

TEST_P(LeftoversTable, HoldNoPlaceAndGoWithTheNextPurge) {
  const Leftover& l = GetParam();
  testing::make_directories(store.imports_root());
  l.setup(*this);
  {
    testing::ScopedFault fault(l.operation, l.name, EIO, l.after_the_call);
    EXPECT_EQ(l.act(*this), !l.request_fails) << "the request was answered otherwise";
    ASSERT_GT(fault.hits(), 0) << "the fault was never reached";
  }
  // Whatever is left is not counted, and the next purge removes it though it is minutes old.
  EXPECT_EQ(census(platform::utc_now()).stages, 0u);
  for (const std::string& name : entries()) {
    EXPECT_TRUE(name.starts_with(".retired-")) << name;
  }
  ASSERT_TRUE(purge_now());
  EXPECT_EQ(entries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Faults, LeftoversTable, ::testing::ValuesIn(kLeftovers),
                         [](const auto& tested) { return "Case" + std::to_string(tested.index); });

}  // namespace
}  // namespace varquin::staging
