#include "store_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include "import_format.h"
#include "platform/path.h"
#include "staging/capacity.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/records.h"
#include "staging/request_id.h"
#include "staging/stage_bytes.h"
#include "staging/store.h"
#include "toolkit/fs.h"
#include "util/path.h"
#include "util/rfc3339.h"

namespace varquin::stress {

namespace {

std::uint64_t regular_bytes_below(const std::string& directory) {
  std::uint64_t total = 0;
  const Snapshot files = snapshot_tree(directory, true);
  for (const auto& [rel, description] : files) {
    if (description.rfind("f ", 0) != 0) continue;
    struct stat info {};
    if (::lstat((directory + "/" + rel).c_str(), &info) == 0) total += info.st_size;
  }
  return total;
}

bool is_directory_entry(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void write_through_scratch(const Home& home, const std::string& target,
                           const std::string& content) {
  const std::string temporary = home.scratch("manifest.tmp");
  testing::write_file(temporary, content);
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    std::fprintf(stderr, "varquin-stress: cannot publish %s\n", target.c_str());
    std::abort();
  }
}

// The bridge's own census of everything the store holds, expired or not.
Result<staging::StoreUsage> bridge_census(const Home& home) {
  VARQUIN_ASSIGN_OR_RETURN(auto entries,
                           staging::survey_existing(staging::StorePaths{home.user_data()}));
  return staging::census_of(entries);
}

}  // namespace

std::optional<std::string> check_stage(const std::string& directory, const std::string& id,
                                       StageView& view) {
  const std::string where = "stage " + id + ": ";
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) return where + "vanished while it was checked";
  if (!S_ISDIR(info.st_mode)) return where + "is not a directory";
  auto entries = toolkit::list_directory(directory);
  if (!entries) return where + "cannot be listed";
  auto manifest = staging::read_json<staging::ImportManifest>(directory + "/request.json");
  if (!manifest) return where + "request.json does not read strictly: " + manifest.error().message;
  bool has_manifest = false, has_file = false;
  for (const auto& entry : *entries) {
    if (entry.name == "request.json") {
      has_manifest = entry.kind == platform::EntryKind::Regular;
    } else if (entry.name == manifest->original_name) {
      has_file = entry.kind == platform::EntryKind::Regular;
    } else {
      return where + "holds a foreign entry \"" + entry.name + "\"";
    }
  }
  if (!has_manifest || !has_file || entries->size() != 2) {
    return where + "is partial (" + std::to_string(entries->size()) + " entries)";
  }
  const std::string staged = directory + "/" + manifest->original_name;
  if (manifest->request_id != id) return where + "manifest names request " + manifest->request_id;
  if (manifest->schema != kImportSchema || manifest->source != kGmailSource ||
      !manifest->temporary) {
    return where + "manifest has a wrong schema, source or temporary flag";
  }
  if (!util::same_path(manifest->file_path, staged)) {
    return where + "filePath names " + manifest->file_path;
  }
  if (!util::parse_rfc3339(manifest->created_at)) return where + "createdAt does not parse";
  auto content = platform::read_regular_file(staged, kMaxFileBytes);
  if (!content) return where + "staged file cannot be read";
  if (content->size() != manifest->size_bytes) {
    return where + "sizeBytes " + std::to_string(manifest->size_bytes) + " but the file holds " +
           std::to_string(content->size());
  }
  std::string digest = sha256_of(*content);
  if (digest != manifest->sha256) return where + "sha256 does not describe the staged file";
  view = StageView{manifest->original_name, digest, manifest->size_bytes, manifest->created_at};
  return std::nullopt;
}

StoreView inspect_store(const Home& home, const StoreRules& rules) {
  StoreView view;
  const std::string root = home.imports();
  if (!testing::path_exists(root)) return view;
  auto root_directory = platform::Directory::open(root);
  auto entries = root_directory ? root_directory->list() : std::unexpected(root_directory.error());
  if (!entries) {
    view.problems.push_back("the imports root cannot be listed");
    return view;
  }
  std::uint64_t census_stages = 0, census_bytes = 0;
  for (const auto& entry : *entries) {
    const std::string path = root + "/" + entry.name;
    if (rules.tolerated.count(entry.name)) continue;
    // Bridges build and discard their incoming directories without the lock: gone since the
    // listing is no entry at all.
    if (rules.bridges_running && !testing::path_exists(path)) continue;
    if (entry.name == staging::kLockFileName && entry.kind == platform::EntryKind::Regular) {
      continue;
    }
    if (staging::is_valid_incoming_directory(*root_directory, entry.name)) {
      if (!rules.incoming_allowed) {
        view.problems.push_back("incoming directory left behind: " + entry.name);
        view.broken.push_back(entry.name);
      }
      view.incoming.push_back(entry.name);
      std::uint64_t bytes = regular_bytes_below(path);
      view.incoming_bytes += bytes;
      ++census_stages;
      census_bytes += bytes;
      continue;
    }
    // Not counted by the census; the next purge removes it (and may be removing it right now).
    if (staging::is_retired_name(entry.name)) {
      if (!rules.retired_allowed) {
        view.problems.push_back("retired directory left behind: " + entry.name);
        view.broken.push_back(entry.name);
      }
      view.retired.push_back(entry.name);
      continue;
    }
    if (is_directory_entry(path) && staging::validate_request_id(entry.name)) {
      ++census_stages;
      StageView stage;
      if (auto problem = check_stage(path, entry.name, stage)) {
        view.problems.push_back(*problem);
        view.broken.push_back(entry.name);
        continue;
      }
      view.stage_bytes += stage.size;
      census_bytes += stage.size;
      view.stages.emplace(entry.name, std::move(stage));
      continue;
    }
    view.problems.push_back("foreign entry in the imports root: " + entry.name);
    view.broken.push_back(entry.name);
  }
  const std::uint64_t held = rules.bridges_running ? view.stages.size() : census_stages;
  if (held > staging::kStageLimit) {
    view.problems.push_back("the store holds " + std::to_string(held) + " stages, more than " +
                            std::to_string(staging::kStageLimit));
  }
  auto usage = bridge_census(home);
  if (!usage) {
    view.problems.push_back("the census failed: " + usage.error().message);
  } else {
    view.census_stages = usage->stages;
    view.census_bytes = usage->bytes;
    if (rules.tolerated.empty() && view.problems.empty() && !rules.bridges_running &&
        (usage->stages != census_stages || usage->bytes != census_bytes)) {
      view.problems.push_back("the census counts " + std::to_string(usage->stages) +
                              " stages and " + std::to_string(usage->bytes) +
                              " bytes, the disk holds " + std::to_string(census_stages) + " and " +
                              std::to_string(census_bytes));
    }
  }
  return view;
}

Sentinels take_sentinels(const Home& home) {
  Sentinels s;
  s.outside = snapshot_tree(home.outside_sentinel());
  s.inside = snapshot_tree(home.inside_sentinel());
  s.downloads = snapshot_tree(home.inbox(), true);
  return s;
}

bool check_sentinels(const Home& home, const Sentinels& before, Ledger& ledger,
                     const std::string& section, bool check_downloads) {
  Sentinels now = take_sentinels(home);
  bool clean = true;
  auto report = [&](const char* tree, const Snapshot& a, const Snapshot& b) {
    for (const std::string& change : compare_snapshots(a, b)) {
      ledger.violation(section, std::string("outside the store, ") + tree + ": " + change);
      clean = false;
    }
  };
  report("sentinel", before.outside, now.outside);
  report("sentinel beside the store", before.inside, now.inside);
  if (check_downloads) report("downloaded files", before.downloads, now.downloads);
  ledger.add(section, "sentinel checks (trees outside the store unchanged)");
  return clean;
}

void plant_stage(const Home& home, const std::string& id, const std::string& name,
                 const std::string& content, const std::string& created_at) {
  testing::make_directories(home.imports());
  const std::string building = home.scratch("plant-" + id);
  testing::make_directories(building);
  testing::write_file(building + "/" + name, content);
  const std::string stage = home.imports() + "/" + id;
  staging::ImportManifest manifest{.schema = std::string(kImportSchema),
                                   .request_id = id,
                                   .source = std::string(kGmailSource),
                                   .original_source_path = stage + "/" + name,
                                   .file_path = stage + "/" + name,
                                   .original_name = name,
                                   .size_bytes = content.size(),
                                   .sha256 = sha256_of(content),
                                   .created_at = created_at,
                                   .temporary = true};
  testing::write_file(building + "/request.json", *staging::serialize_manifest(manifest));
  if (::rename(building.c_str(), stage.c_str()) != 0) {
    std::fprintf(stderr, "varquin-stress: cannot plant stage %s\n", id.c_str());
    std::abort();
  }
}

bool redate_stage(const Home& home, const std::string& id, const std::string& created_at) {
  const std::string path = home.imports() + "/" + id + "/request.json";
  auto manifest = staging::read_json<staging::ImportManifest>(path);
  if (!manifest) return false;
  manifest->created_at = created_at;
  write_through_scratch(home, path, *staging::serialize_manifest(*manifest));
  return true;
}

std::string plant_incoming(const Home& home, Rng& rng, const std::string& id,
                           std::int64_t age_seconds) {
  testing::make_directories(home.imports());
  std::string suffix;
  for (int i = 0; i < 32; ++i) suffix += "0123456789abcdef"[rng.below(16)];
  const std::string name = ".incoming-" + id + "-" + suffix;
  const std::string path = home.imports() + "/" + name;
  testing::make_directories(path + "/nested");
  testing::write_file(path + "/half-written.csv", rng.bytes(rng.below(4096)));
  testing::write_file(path + "/nested/more.csv", rng.bytes(rng.below(512)));
  age_path(path + "/nested", age_seconds);
  age_path(path, age_seconds);
  return name;
}

}  // namespace varquin::stress
