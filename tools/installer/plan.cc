#include "installer/plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

namespace varquin::installer {

namespace {

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string known_keys() {
  std::string keys;
  for (const Browser& browser : known_browsers()) {
    keys += (keys.empty() ? "" : ", ") + std::string(browser.key);
  }
  return keys;
}

tools::Outcome<std::vector<const Browser*>> chosen_browsers(const Options& options) {
  std::vector<const Browser*> chosen;
  if (options.browsers.empty()) {
    for (const Browser& browser : known_browsers()) chosen.push_back(&browser);
    return chosen;
  }
  for (const std::string& key : options.browsers) {
    const Browser* browser = find_browser(key);
    if (browser == nullptr) {
      return std::unexpected("unknown browser \"" + key + "\"; known: " + known_keys());
    }
    chosen.push_back(browser);
  }
  return chosen;
}

// Adds the directory, or the browser's name to the entry that has it already.
void add(std::vector<ManifestDirectory>& directories, const Browser& browser,
         const std::string& path, bool present) {
  auto same = std::find_if(directories.begin(), directories.end(),
                           [&](const ManifestDirectory& d) { return d.path == path; });
  if (same == directories.end()) {
    directories.push_back({std::string(browser.name), path, present});
    return;
  }
  same->browser += ", " + std::string(browser.name);
  same->browser_present = same->browser_present || present;
}

}  // namespace

tools::Outcome<std::vector<ManifestDirectory>> choose_directories(const Options& options,
                                                                  const Places& places) {
  std::vector<ManifestDirectory> directories;
  if (!options.manifest_directories.empty()) {
    for (const std::string& directory : options.manifest_directories) {
      VARQUIN_ASSIGN_OR_RETURN(auto absolute, tools::absolute_as_given(directory));
      directories.push_back({"Browser", absolute, true});
    }
    return directories;
  }
  VARQUIN_ASSIGN_OR_RETURN(auto browsers, chosen_browsers(options));
  const bool picked = !options.browsers.empty() || options.all_browsers;
  const char* scope = options.system ? "system-wide" : "per-user";
  for (const Browser* browser : browsers) {
    auto directory = options.system ? places.system_manifest_directory(*browser)
                                    : places.user_manifest_directory(*browser);
    if (!directory) {
      if (!options.browsers.empty()) {
        return std::unexpected(std::string(browser->name) + " has no " + scope +
                               " place for manifests on this system's layout");
      }
      continue;
    }
    auto own = places.user_data_directory(*browser);
    const bool used = options.system || (own && is_directory(*own));
    bool wanted = picked || used;
    if (options.mode == Options::Mode::Check)
      wanted = wanted || exists(manifest_path_in(*directory));
    if (options.mode == Options::Mode::Uninstall) wanted = true;
    if (wanted) add(directories, *browser, *directory, used);
  }
  if (directories.empty()) {
    return std::unexpected(
        std::string("no Chromium browser has been used by this user yet (none ") +
        "of their data directories exists): pass --browser NAME or " +
        "--all-browsers, or --manifest-dir for a browser profile elsewhere");
  }
  return directories;
}

}  // namespace varquin::installer
