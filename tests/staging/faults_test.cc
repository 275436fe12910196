// A disk that fails is not an answer. Only ENOENT and ENOTDIR say that a record, a stage or a
// manifest is not there; any other failure to look at or read the store, the browser's file or
// the download directory is the environment's ("staging_failed", "cleanup_failed", retryable) and
// never decides the request: nothing is staged again, launched or refused as a fault of the data.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "staging/cleanup.h"
#include "staging/records.h"
#include "staging/stage_bytes.h"
#include "staging/stage_download.h"
#include "staging/store_fixture.h"
#include "support/faults.h"

namespace varquin::staging {
namespace {

using platform::FileOperation;
using test::kId;
using test::kNow;
using test::numbered_id;

class StoreFaults : public test::StoreTest {
 public:
  using StoreTest::plant_whole_stage;
  using StoreTest::stages;

  const std::string content = "a,b\n1,2\n";
  const std::string request_dir = dir / ("Downloads/Varquin Inbox/" + std::string(kId));
  const std::string file = request_dir + "/report.csv";

  void SetUp() override {
    testing::make_directories(request_dir);
    testing::write_file(file, content);
    testing::make_directories(store.imports_root());
  }
  Status upload() {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    return as_status(stage_bytes(config, kId, "report.csv", bytes));
  }
  Status download() { return as_status(stage_download(config, kId, file, "report.csv")); }
  Status launch_lookup() { return as_status(staged_manifest_path(config, kId)); }
  Status cleanup() { return cleanup_download_container(kId, request_dir); }
  // The upload, already finalized by the desktop app.
  void finalize() {
    ASSERT_TRUE(upload());
    auto manifest = read_json<ImportManifest>(store.manifest_path(kId)).value();
    plant_terminal(terminal_for(manifest, kNow));
  }
  template <typename T>
  static Status as_status(const Result<T>& result) {
    if (!result) return std::unexpected(result.error());
    return {};
  }
};

struct FaultCase {
  const char* what;
  std::function<void(StoreFaults&)> setup;
  FileOperation operation;
  std::function<std::string(StoreFaults&)> name;
  int error;
  std::function<Status(StoreFaults&)> action;
  ErrorCode code;  // what the request is answered
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.what;
}

std::string terminal_name(StoreFaults&) {
  return std::string(kId) + ".json";
}
std::string manifest_name(StoreFaults&) {
  return "request.json";
}

const FaultCase kCases[] = {
    {"the terminal record's metadata, on a repeat", &StoreFaults::finalize,
     FileOperation::StatFollowing, terminal_name, EIO, &StoreFaults::upload,
     ErrorCode::StagingFailed},
    {"the terminal record's metadata, before a launch", &StoreFaults::finalize,
     FileOperation::StatFollowing, terminal_name, EIO, &StoreFaults::launch_lookup,
     ErrorCode::StagingFailed},
    {"reading the terminal record", &StoreFaults::finalize, FileOperation::Open, terminal_name, EIO,
     &StoreFaults::download, ErrorCode::StagingFailed},
    {"reading the stage's manifest, on a repeat", [](StoreFaults& t) { ASSERT_TRUE(t.upload()); },
     FileOperation::Open, manifest_name, EIO, &StoreFaults::upload, ErrorCode::StagingFailed},
    {"reading the stage's manifest, before a launch",
     [](StoreFaults& t) { ASSERT_TRUE(t.upload()); }, FileOperation::Open, manifest_name, EIO,
     &StoreFaults::launch_lookup, ErrorCode::StagingFailed},
    {"the stage directory's metadata", [](StoreFaults& t) { ASSERT_TRUE(t.upload()); },
     FileOperation::StatFollowing, [](StoreFaults&) { return std::string(kId); }, EIO,
     &StoreFaults::upload, ErrorCode::StagingFailed},
    {"a full disk under the staged file's sync", [](StoreFaults&) {}, FileOperation::Sync,
     [](StoreFaults&) { return std::string(); }, ENOSPC, &StoreFaults::upload,
     ErrorCode::StagingFailed},
    {"another stage's manifest, in the census",
     [](StoreFaults& t) { t.plant_whole_stage(numbered_id(1), "x"); }, FileOperation::Open,
     manifest_name, EIO, &StoreFaults::upload, ErrorCode::StagingFailed},
    {"opening the browser's file", [](StoreFaults&) {}, FileOperation::Open,
     [](StoreFaults&) { return std::string("report.csv"); }, EIO, &StoreFaults::download,
     ErrorCode::StagingFailed},
    {"resolving the browser's file", [](StoreFaults&) {}, FileOperation::Resolve,
     [](StoreFaults& t) { return t.file; }, EIO, &StoreFaults::download, ErrorCode::StagingFailed},
    {"a browser's file that is not there", [](StoreFaults&) {}, FileOperation::Resolve,
     [](StoreFaults& t) { return t.file; }, ENOENT, &StoreFaults::download, ErrorCode::InvalidFile},
    {"a browser's file that may not be read", [](StoreFaults&) {}, FileOperation::Open,
     [](StoreFaults&) { return std::string("report.csv"); }, EACCES, &StoreFaults::download,
     ErrorCode::InvalidFile},
    {"listing the download directory", [](StoreFaults& t) { std::remove(t.file.c_str()); },
     FileOperation::List, [](StoreFaults& t) { return t.request_dir; }, EIO, &StoreFaults::cleanup,
     ErrorCode::CleanupFailed},
    {"the download directory's metadata", [](StoreFaults&) {}, FileOperation::StatFollowing,
     [](StoreFaults& t) { return t.request_dir; }, EIO, &StoreFaults::cleanup,
     ErrorCode::CleanupFailed},
};

class StoreFaultsTable : public StoreFaults, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StoreFaultsTable, AnsweredForWhatTheDiskHolds) {
  const FaultCase& c = GetParam();
  c.setup(*this);
  const std::vector<std::string> before = stages();
  Status answer;
  {
    testing::ScopedFault fault(c.operation, c.name(*this), c.error);
    answer = c.action(*this);
    ASSERT_GT(fault.hits(), 0) << "the fault was never reached";
  }
  ASSERT_FALSE(answer) << "answered as if the disk had not failed";
  EXPECT_EQ(code_text(answer.error().code), code_text(c.code)) << answer.error().message;
  // Nothing was staged again or left half done.
  EXPECT_EQ(stages(), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreFaultsTable, ::testing::ValuesIn(kCases),
                         [](const auto& tested) { return "Case" + std::to_string(tested.index); });

}  // namespace
}  // namespace varquin::staging
