// A staging store in a temporary user-data directory, and helpers that plant what other
// processes (an earlier bridge, the desktop app) leave in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "import_format.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "staging/store.h"
#include "support/expect_failure.h"
#include "support/test_support.h"
#include "util/path.h"
#include "util/rfc3339.h"
#include "util/sha256.h"

namespace varquin::staging::test {

inline constexpr const char* kId = "0f8fad5b-d9cb-469f-a165-70867728950e";
inline constexpr const char* kDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
inline constexpr util::Instant kNow{1'800'000'000, 0};  // 2027-01-15T08:00:00Z

inline std::string numbered_id(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012u", n);
  return text;
}

inline util::Instant seconds_before(util::Instant instant, std::int64_t seconds) {
  return {instant.seconds - seconds, instant.nanoseconds};
}

class StoreTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  BridgeConfig config = testing::config_for(dir / "user-data");
  StorePaths store{config.electron_user_data_path};

  // A manifest as the bridge writes it for `name` staged under `request_id`.
  ImportManifest manifest_for(const std::string& request_id, std::uint64_t size_bytes,
                              util::Instant created, const std::string& name = "report.csv") const {
    std::string file_path = util::join_path(store.stage_directory(request_id), name);
    return {std::string(kImportSchema),
            request_id,
            std::string(kGmailSource),
            file_path,
            file_path,
            name,
            size_bytes,
            kDigest,
            util::format_rfc3339_offset(created),
            true};
  }

  static void plant_manifest(const std::string& directory, const ImportManifest& manifest) {
    testing::make_directories(directory);
    testing::write_file(util::join_path(directory, kManifestName),
                        serialize_manifest(manifest).value());
  }

  void plant_stage(const ImportManifest& manifest) const {
    plant_manifest(store.stage_directory(manifest.request_id), manifest);
  }

  // A stage as the bridge leaves it: the staged file holding `content`, and its manifest.
  ImportManifest plant_whole_stage(const std::string& request_id, const std::string& content,
                                   util::Instant created = kNow) const {
    ImportManifest manifest = manifest_for(request_id, content.size(), created);
    manifest.sha256 =
        util::sha256_hex({reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
    plant_stage(manifest);
    testing::write_file(manifest.file_path, content);
    return manifest;
  }

  static TerminalRecord terminal_for(const ImportManifest& m, util::Instant finalized) {
    return {m.schema,        m.request_id, m.source, m.original_source_path,
            m.original_name, m.size_bytes, m.sha256, util::format_rfc3339_offset(finalized)};
  }

  // Writes `record` into the terminals root, by default under its own request ID.
  void plant_terminal(const TerminalRecord& record, std::string file_name = {}) const {
    if (file_name.empty()) file_name = record.request_id + ".json";
    testing::make_directories(store.terminals_root());
    testing::write_file(util::join_path(store.terminals_root(), file_name),
                        serialize_terminal_record(record).value());
  }

  // One purge as a request makes it at `now`, leftovers removed; the census of what stays.
  Result<StoreUsage> purge(util::Instant now = kNow) const {
    VARQUIN_ASSIGN_OR_RETURN(auto opened, Store::open(store, now));
    VARQUIN_ASSIGN_OR_RETURN(auto held, opened.lock());
    auto usage = opened.purge_expired(held, {});
    opened.remove_retired();
    return usage;
  }

  // The census at `now`, nothing changed; an empty one when the store does not exist yet.
  StoreUsage census(util::Instant now = kNow) const {
    return usage_of(survey_existing(store).value(), now);
  }

  // Stage and incoming directories: the imports root without its lock file.
  std::vector<std::string> stages() const {
    std::vector<std::string> names = testing::list_names(store.imports_root());
    std::erase(names, std::string(kLockFileName));
    return names;
  }
};

}  // namespace varquin::staging::test
