#include "staging/records.h"

#include <gtest/gtest.h>

#include <functional>

#include "staging/store_fixture.h"

namespace varquin::staging {
namespace {

using test::kId;
using testing::expect_failure;

using Edit = std::function<void(ImportManifest&)>;

class StagingRecords : public test::StoreTest {
 protected:
  ImportManifest sample() const { return manifest_for(kId, 42, test::kNow); }
  std::string stage_dir() const { return store.stage_directory(kId); }
  // Whether the stage directory's manifest is one the store accepts as its own.
  bool accepted() const {
    return validated_manifest_for_directory(platform::Directory::open(stage_dir()).value())
        .value()
        .has_value();
  }
};

TEST_F(StagingRecords, ManifestIsPublishedInItsExactPrettyForm) {
  const std::string path = dir / "stage/request.json";
  testing::make_directories(dir / "stage");
  const ImportManifest manifest{"varquin.browser-import.v1",
                                "0F8FAD5B-D9CB-469F-A165-70867728950E",
                                "gmail",
                                "/in/r\u00e9sum\u00e9 \"q\"\t.csv",
                                "/u/r\u00e9sum\u00e9.csv",
                                "r\u00e9sum\u00e9.csv",
                                18446744073709551615u,
                                test::kDigest,
                                "2026-01-31T08:15:02.047+00:00",
                                true};
  const std::string expected = R"({
  "schema": "varquin.browser-import.v1",
  "requestId": "0F8FAD5B-D9CB-469F-A165-70867728950E",
  "source": "gmail",
  "originalSourcePath": "/in/résumé \"q\"\t.csv",
  "filePath": "/u/résumé.csv",
  "originalName": "résumé.csv",
  "sizeBytes": 18446744073709551615,
  "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
  "createdAt": "2026-01-31T08:15:02.047+00:00",
  "temporary": true
}
)";
  auto stage = platform::Directory::open(dir / "stage").value();
  ASSERT_TRUE(write_atomic_json(stage, "request.json", manifest));
  EXPECT_EQ(testing::read_file(path), expected);
  EXPECT_EQ(testing::list_names(dir / "stage"), std::vector<std::string>{"request.json"});
  EXPECT_EQ(serialize_manifest(read_json<ImportManifest>(path).value()).value(), expected);

  // A leftover temporary file is never overwritten.
  testing::write_file(path + ".tmp", "left over");
  expect_failure(write_atomic_json(stage, "request.json", manifest),
                 "Unable to create request manifest: File exists (os error 17)",
                 ErrorCode::StagingFailed);
  EXPECT_EQ(testing::read_file(path + ".tmp"), "left over");
}

TEST_F(StagingRecords, StrictReadingRefusesMalformedDocuments) {
  const std::string manifest = serialize_manifest(sample()).value();
  const std::string terminal =
      serialize_terminal_record(terminal_for(sample(), test::kNow)).value();
  const std::pair<std::string, std::string> edits[] = {
      {R"("temporary": true)", R"("temporary": true, "extra": 1)"},
      {",\n  \"temporary\": true", ""},
      {R"("temporary": true)", R"("temporary": true, "temporary": true)"},
      {R"("sizeBytes": 42)", R"("sizeBytes": 1.0)"},
      {R"("sizeBytes": 42)", R"("sizeBytes": -1)"},
      {R"("sizeBytes": 42)", R"("sizeBytes": "42")"},
      {R"("sizeBytes": 42)", R"("sizeBytes": 18446744073709551616)"},
      {R"("source": "gmail")", R"("source": null)"},
      {R"("source": "gmail")", R"("source": {"name": "gmail"})"},
      {R"("temporary": true)", R"("temporary": "true")"},
      {"\n}", "\n} x"},
      {",\n  \"finalizedAt\": \"2027-01-15T08:00:00+00:00\"", ""},
  };
  for (const auto& [from, to] : edits) {
    SCOPED_TRACE(to);
    const bool for_terminal = from.find("finalizedAt") != std::string::npos;
    std::string text = for_terminal ? terminal : manifest;
    text.replace(text.find(from), from.size(), to);
    const std::string path = for_terminal ? store.terminal_record(kId) : store.manifest_path(kId);
    testing::make_directories(*util::parent_path(path));
    testing::write_file(path, text);
    if (for_terminal) {
      expect_failure(read_json<TerminalRecord>(path),
                     "Managed record is invalid: ", ErrorCode::RequestConflict);
    } else {
      expect_failure(read_json<ImportManifest>(path),
                     "Managed record is invalid: ", ErrorCode::RequestConflict);
      EXPECT_FALSE(accepted());
    }
  }
  // The unedited documents do read, so the refusals above come from the edits.
  testing::write_file(store.manifest_path(kId), manifest);
  EXPECT_TRUE(accepted());
  testing::write_file(store.terminal_record(kId), terminal);
  EXPECT_TRUE(read_json<TerminalRecord>(store.terminal_record(kId)));
}

// One edit of a stored manifest: is its directory still self-consistent, and does it (and the
// terminal record with the same fields) still match the attempt it was written for?
TEST_F(StagingRecords, ValidationAndMatching) {
  const std::string staged = stage_dir() + "/report.csv";
  const StagingCandidate candidate{staged, "report.csv", 42};
  struct Case {
    Edit edit;
    bool valid, matches, terminal_matches;
  };
  const Case cases[] = {
      {[](ImportManifest& m) { m.created_at = "never"; }, true, true, true},
      {[&](ImportManifest& m) { m.file_path = stage_dir() + "//report.csv/"; }, true, true, true},
      {[&](ImportManifest& m) { m.file_path = stage_dir() + "/sub/report.csv"; }, false, true,
       true},
      {[&](ImportManifest& m) { m.file_path = dir / "report.csv"; }, false, true, true},
      {[&](ImportManifest& m) { m.original_source_path = "/" + staged + "/"; }, true, true, true},
      {[&](ImportManifest& m) { m.original_source_path = stage_dir() + "/Report.csv"; }, true,
       false, false},
      {[](ImportManifest& m) { m.original_name = "Report.csv"; }, true, false, false},
      {[](ImportManifest& m) { m.size_bytes = 43; }, true, false, false},
      {[](ImportManifest& m) { m.sha256[0] = 'E'; }, true, false, false},
      {[](ImportManifest& m) { m.temporary = false; }, false, false, true},
      {[](ImportManifest& m) { m.request_id = test::numbered_id(2); }, false, false, false},
      {[](ImportManifest& m) { m.request_id = "0F8FAD5B-D9CB-469F-A165-70867728950E"; }, false,
       false, false},
      {[](ImportManifest& m) { m.schema = "varquin.browser-import.v2"; }, false, false, false},
      {[](ImportManifest& m) { m.source = "outlook"; }, false, false, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    ImportManifest manifest = sample();
    cases[i].edit(manifest);
    plant_manifest(stage_dir(), manifest);
    EXPECT_EQ(accepted(), cases[i].valid);
    EXPECT_EQ(manifest_matches(manifest, kId, candidate, test::kDigest), cases[i].matches);
    EXPECT_EQ(terminal_matches(terminal_for(manifest, test::kNow), kId, candidate, test::kDigest),
              cases[i].terminal_matches);
  }
}

TEST_F(StagingRecords, StagedManifestPath) {
  expect_failure(staged_manifest_path(config, kId), "The staged browser import was not found",
                 ErrorCode::RequestMissing);
  EXPECT_FALSE(testing::path_exists(store.imports_root()));  // a lookup creates nothing

  plant_whole_stage(kId, "a,b\n");
  EXPECT_EQ(staged_manifest_path(config, kId).value(), store.manifest_path(kId));

  // A terminal record wins over the stage; only its ID and schema are compared.
  TerminalRecord record = terminal_for(sample(), test::kNow);
  record.sha256 = "different";
  plant_terminal(record);
  EXPECT_EQ(staged_manifest_path(config, kId).value(), std::nullopt);

  record.schema = "varquin.browser-import.v2";
  plant_terminal(record);
  expect_failure(staged_manifest_path(config, kId), "The terminal browser import record is invalid",
                 ErrorCode::RequestConflict);
  testing::write_file(store.terminal_record(kId), "{");
  expect_failure(staged_manifest_path(config, kId),
                 "Managed record is invalid: ", ErrorCode::RequestConflict);
}

}  // namespace
}  // namespace varquin::staging
