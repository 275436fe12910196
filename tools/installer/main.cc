// varquin-bridge-install: registers the bridge with the Chromium browsers, per user or for every
// user, writes its configuration, and diagnoses the result by starting the bridge as the browser
// would.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "bridge_connection.h"
#include "config/config.h"
#include "installer/checks.h"
#include "installer/files.h"
#include "installer/manifest.h"
#include "installer/options.h"
#include "installer/plan.h"
#include "installer/store_check.h"
#include "installer/trust.h"
#include "platform/ownership.h"
#include "util/path.h"

namespace {

using namespace varquin;
using namespace varquin::installer;

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr std::string_view kUserDataExample = "\"$HOME/Library/Application Support/Varquin\"";

// Where things go and what they must say, resolved from the options.
struct Plan {
  std::vector<ManifestDirectory> directories;
  std::string config_path;
  Expectations expected;
  bool json = false;
  // The store to diagnose when it is not the configuration's (--user-data with --check).
  std::optional<std::string> user_data;
};

// What the installer does, as it does it: on stdout, or on stderr when stdout carries the JSON
// diagnosis.
bool g_json = false;
std::ostream& steps() {
  return g_json ? std::cerr : std::cout;
}

using Problems = std::vector<std::string>;

void print_problem(const std::string& problem) {
  std::cerr << "varquin-bridge-install: " << problem << "\n";
}

void print_problems(const Problems& problems) {
  for (const auto& problem : problems) print_problem(problem);
}

tools::Outcome<bool> is_present(const std::string& path) {
  VARQUIN_ASSIGN_OR_RETURN(auto content, read_if_present(path));
  return content.has_value();
}

std::string absolute_or_note(const std::string& path, Problems& problems) {
  auto absolute = tools::absolute_as_given(path);
  if (!absolute) problems.push_back(absolute.error());
  return absolute.value_or(path);
}

std::string resolve_config_path(const Options& options, Problems& problems) {
  if (options.config) return absolute_or_note(*options.config, problems);
  auto path = default_config_path();
  if (!path) {
    problems.push_back(path.error().message + "; pass --config");
    return {};
  }
  if (path->empty()) {
    problems.push_back("VARQUIN_BROWSER_BRIDGE_CONFIG is set but empty; unset it or pass --config");
    return {};
  }
  return absolute_or_note(*path, problems);
}

// Why `id` is not an extension ID, for a person holding the value copied from the browser.
std::string extension_id_fault(std::string_view id) {
  if (id.size() != 32) return "it has " + std::to_string(id.size()) + " characters, not 32";
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (id[i] < 'a' || id[i] > 'p') {
      return "its character " + std::to_string(i + 1) + " '" + std::string(1, id[i]) +
             "' is not a lower-case letter from a to p";
    }
  }
  return {};
}

void check_extension_ids(const std::vector<std::string>& ids, Problems& problems) {
  if (ids.empty()) {
    problems.push_back(
        "--extension-id is required: the Varquin extension's ID, shown on chrome://extensions");
  }
  for (const std::string& id : ids) {
    if (!is_extension_id(id)) {
      problems.push_back("--extension-id \"" + id + "\" is not an extension ID: " +
                         extension_id_fault(id) + " (copy the ID from chrome://extensions)");
    }
  }
}

std::vector<std::string> origins_for(const std::vector<std::string>& ids) {
  std::vector<std::string> origins;
  for (const std::string& id : ids) origins.push_back(origin_for(id));
  return origins;
}

void check_absolute(std::string_view option, const std::optional<std::string>& path,
                    std::string_view example, Problems& problems) {
  if (!path) {
    problems.push_back(std::string(option) + " is required, e.g. " + std::string(example));
  } else if (!util::is_absolute(*path)) {
    problems.push_back(std::string(option) + " \"" + *path + "\" must be an absolute path, e.g. " +
                       std::string(example));
  }
}

// The user-data directory as the configuration must name it: the bridge refuses a store below a
// symbolic link (macOS's /var and /tmp are links), so a directory reached through one is written
// resolved, and the installer says so.
std::string resolve_user_data(const std::string& user_data, Problems& problems) {
  auto resolved = resolve_existing_prefix(user_data);
  if (!resolved) {
    problems.push_back("--user-data: " + resolved.error());
    return user_data;
  }
  if (!util::same_path(*resolved, user_data)) {
    steps() << "User data: " << user_data << " is reached through a symbolic link, which the "
            << "bridge refuses; the configuration names " << *resolved << "\n";
  }
  return *resolved;
}

std::string resolve_bridge(const Options& options, Problems& problems) {
  std::string bridge;
  if (options.bridge) {
    bridge = absolute_or_note(*options.bridge, problems);
  } else {
    auto sibling = tools::sibling_program("varquin-browser-bridge");
    if (!sibling) {
      problems.push_back(sibling.error() + "; pass --bridge");
      return {};
    }
    bridge = *sibling;
  }
  struct stat info {};
  if (::stat(bridge.c_str(), &info) != 0) {
    problems.push_back("the bridge " + bridge + " does not exist: build it, or pass --bridge PATH");
  } else if (!S_ISREG(info.st_mode) || ::access(bridge.c_str(), X_OK) != 0) {
    problems.push_back("the bridge " + bridge + " is not an executable file (chmod +x " + bridge +
                       ")");
  }
  return bridge;
}

// Where a bridge for every user may live: directories only root can change.
std::string root_only_example() {
  return native_layout() == Layout::MacOS ? "/Library/Application Support/Varquin" : "/opt/varquin";
}

// What every user's browser runs must be root's alone, and the manifests root's too.
void check_system_bridge(const Options& options, const std::string& bridge, Problems& problems) {
  if (!options.system_root && !options.dry_run && platform::effective_user() != 0) {
    problems.push_back(
        "--system writes the manifests every user's browser reads, which must be root's: run it "
        "as root (sudo)");
  }
  auto exposed = exposed_components(bridge, Trust::for_system());
  if (!exposed) {
    problems.push_back(exposed.error());
    return;
  }
  for (const Exposed& component : *exposed) {
    problems.push_back("not registering " + bridge +
                       " for every user: " + exposure_fault(component, Trust::for_system()));
  }
  if (!exposed->empty()) {
    const std::string directory = root_only_example();
    const std::string copy =
        util::join_path(directory, util::file_name(bridge).value_or("varquin-browser-bridge"));
    problems.push_back(
        "copy the bridge where only root can change it, e.g. sudo install -d -m 0755 \"" +
        directory + "\" && sudo install -m 0755 \"" + bridge + "\" \"" + copy +
        "\", and pass --bridge \"" + copy + "\"");
  }
}

// The keys whose values differ between two configurations, or empty.
std::string differing_keys(const BridgeConfig& a, const BridgeConfig& b) {
  std::string keys;
  auto add = [&](bool differs, std::string_view key) {
    if (differs) keys += (keys.empty() ? "" : ", ") + std::string(key);
  };
  add(a.schema != b.schema, "schema");
  add(a.extension_id != b.extension_id, "extensionId");
  add(a.app_bundle_path != b.app_bundle_path, "appBundlePath");
  add(a.app_executable_path != b.app_executable_path, "appExecutablePath");
  add(a.electron_user_data_path != b.electron_user_data_path, "electronUserDataPath");
  add(a.allowed_extension_origins != b.allowed_extension_origins, "allowedExtensionOrigins");
  return keys;
}

// The bridge reads $VARQUIN_BROWSER_BRIDGE_CONFIG when it is set, else the file under HOME; a
// browser started from the desktop usually has no such variable.
void note_config_location(Report& report, const std::string& config_path) {
  const bool from_variable = std::getenv("VARQUIN_BROWSER_BRIDGE_CONFIG") != nullptr;
  auto standard = default_config_path();
  if (!from_variable && standard && util::same_path(*standard, config_path)) return;
  report.note(
      "the bridge reads this configuration only when the browser runs with "
      "VARQUIN_BROWSER_BRIDGE_CONFIG=" +
      config_path + " in its environment");
}

int run_checks(const Plan& plan) {
  Report report(std::cout, plan.json);
  ChainCheck chain(report);
  std::optional<BridgeConfig> config;
  auto present = is_present(plan.config_path);
  // System-wide manifests serve users who may have no configuration yet: a missing one is noted.
  if (plan.expected.system && present && !*present) {
    report.section("Configuration", plan.config_path);
    report.note(
        "none for this user yet: each user's is written by varquin-bridge-install "
        "without --system (the desktop app does it at its first start); the bridge is "
        "not started below");
  } else {
    config = check_config(report, chain, plan.config_path);
    note_config_location(report, plan.config_path);
  }
  for (const auto& directory : plan.directories) {
    check_manifest(report, chain, directory, plan.expected, config, plan.config_path);
  }
  if (plan.user_data) {
    check_store(report, *plan.user_data);
  } else if (config) {
    check_store(report, config->electron_user_data_path);
  }
  report.finish();
  return report.failures() > 0 ? kFailed : 0;
}

// Writes `content` unless the file already holds it and no other user may change it; says what
// happened.
bool publish(const std::string& what, const std::string& path, const std::string& content,
             const std::optional<std::string>& existing, Modes modes, const Trust& trust) {
  const bool same = existing && *existing == content;
  const bool exposed = existing && file_exposed(path, trust);
  if (same && !exposed) {
    steps() << what << " unchanged: " << path << "\n";
    return true;
  }
  if (auto written = write_atomically(path, content, modes); !written) {
    print_problem(written.error());
    return false;
  }
  steps() << what
          << (!existing ? " written: "
              : exposed ? " replaced, since another user could change it: "
                        : " replaced: ")
          << path << "\n";
  return true;
}

// What an install writes.
struct Documents {
  std::vector<std::string> origins;
  std::string bridge;
  BridgeConfig config;
  std::string config_text;
  std::string manifest_text;
};

// The documents for the options, or every problem with them. A system-wide installation writes
// manifests only: the configuration belongs to each user.
std::optional<Documents> prepare(const Options& options) {
  Problems problems;
  check_extension_ids(options.extension_ids, problems);
  if (options.system) {
    if (options.app_bundle || options.user_data) {
      problems.push_back(
          "--system writes the manifests for every user; the configuration stays "
          "per user: run without --system to write it (drop --app-bundle and "
          "--user-data here)");
    }
  } else {
    check_absolute("--app-bundle", options.app_bundle, "/Applications/Varquin.app", problems);
    check_absolute("--user-data", options.user_data, kUserDataExample, problems);
  }
  Documents documents;
  documents.bridge = resolve_bridge(options, problems);
  if (options.system && problems.empty()) check_system_bridge(options, documents.bridge, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return std::nullopt;
  }
  documents.origins = origins_for(options.extension_ids);
  auto manifest_text = render_manifest(manifest_for(documents.bridge, documents.origins));
  if (!manifest_text) {
    print_problem(manifest_text.error());
    return std::nullopt;
  }
  documents.manifest_text = std::move(*manifest_text);
  if (options.system) return documents;

  const std::string user_data = resolve_user_data(*options.user_data, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return std::nullopt;
  }
  documents.config = config_for(options.extension_ids, *options.app_bundle, user_data);
  if (auto valid = documents.config.validate(); !valid) {
    print_problem(valid.error().message);
    return std::nullopt;
  }
  auto config_text = render_config(documents.config);
  if (!config_text) {
    print_problem(config_text.error());
    return std::nullopt;
  }
  documents.config_text = std::move(*config_text);
  return documents;
}

void print_dry_run(const Plan& plan, const Documents& documents) {
  if (!documents.config_text.empty()) {
    steps() << "Would write the configuration " << plan.config_path << ":\n"
            << documents.config_text;
  }
  for (const auto& directory : plan.directories) {
    steps() << "Would write the " << directory.browser << " manifest "
            << manifest_path_in(directory.path) << ":\n"
            << documents.manifest_text;
  }
}

// Writes the configuration unless an existing one holds the same settings (kept as written); a
// different one is replaced only with --force. False after a refusal or a failure.
bool write_config(const Options& options, const Plan& plan, const Documents& documents) {
  auto existing = read_if_present(plan.config_path);
  if (!existing) {
    print_problem(existing.error());
    return false;
  }
  std::string text = documents.config_text;
  if (*existing && **existing != text && !options.force) {
    auto theirs = BridgeConfig::parse(**existing);
    if (!theirs || !differing_keys(*theirs, documents.config).empty()) {
      print_problem("not replacing the configuration " + plan.config_path + ": " +
                    (theirs ? "it differs in " + differing_keys(*theirs, documents.config)
                            : "it is not a usable configuration (" + theirs.error().message + ")") +
                    ". Pass --force to replace it, or --config PATH to write another file.");
      return false;
    }
    text = **existing;
  }
  return publish("Configuration", plan.config_path, text, *existing, kConfigModes,
                 Trust::for_user());
}

bool write_manifests(const Plan& plan, const Documents& documents) {
  for (const auto& directory : plan.directories) {
    const std::string path = manifest_path_in(directory.path);
    auto previous = read_if_present(path);
    if (!previous) {
      print_problem(previous.error());
      return false;
    }
    if (!publish(directory.browser + " manifest", path, documents.manifest_text, *previous,
                 plan.expected.system ? kSystemManifestModes : kUserManifestModes,
                 trust_for(plan.expected))) {
      return false;
    }
  }
  return true;
}

int install(const Options& options, Plan plan) {
  auto documents = prepare(options);
  if (!documents) return kUsage;
  if (options.dry_run) {
    print_dry_run(plan, *documents);
    return 0;
  }
  // The configuration first: a refusal there leaves everything as it was.
  if (!options.system && !write_config(options, plan, *documents)) return kFailed;
  if (!write_manifests(plan, *documents)) return kFailed;
  steps() << "\n";
  plan.expected.origins = documents->origins;
  plan.expected.bridge = documents->bridge;
  return run_checks(plan);
}

// Says whether `path` holds this bridge's manifest; anything else there is left alone.
tools::Outcome<bool> holds_our_manifest(const std::string& path, bool& present) {
  VARQUIN_ASSIGN_OR_RETURN(auto content, read_if_present(path));
  present = content.has_value();
  if (!present) return false;
  auto manifest = parse_manifest(*content);
  return manifest && manifest->name == kHostName;
}

int uninstall(const Options& options, const Plan& plan) {
  int status = 0;
  for (const auto& directory : plan.directories) {
    const std::string path = manifest_path_in(directory.path);
    const std::string what = directory.browser + " manifest";
    bool present = false;
    auto ours = holds_our_manifest(path, present);
    if (!ours) {
      print_problem(ours.error());
      status = kFailed;
    } else if (!present) {
      steps() << what << " was not there: " << path << "\n";
    } else if (!*ours) {
      steps() << what << " left alone, it is not this bridge's manifest: " << path << "\n";
    } else if (options.dry_run) {
      steps() << what << " would be removed: " << path << "\n";
    } else if (auto removed = remove_if_present(path); !removed) {
      print_problem(removed.error());
      status = kFailed;
    } else {
      steps() << what << " removed: " << path << "\n";
    }
  }
  if (!options.remove_config) return status;
  auto removed =
      options.dry_run ? is_present(plan.config_path) : remove_if_present(plan.config_path);
  if (!removed) {
    print_problem(removed.error());
    return kFailed;
  }
  steps() << "Configuration"
          << (*removed ? (options.dry_run ? " would be removed: " : " removed: ")
                       : " was not there: ")
          << plan.config_path << "\n";
  return status;
}

// --user-data where it may be left out (--check, --repair-store): checked when given.
std::optional<std::string> given_user_data(const Options& options, Problems& problems) {
  if (options.user_data) {
    check_absolute("--user-data", options.user_data, kUserDataExample, problems);
  }
  return options.user_data;
}

int check(const Options& options, Plan plan) {
  Problems problems;
  if (!options.extension_ids.empty()) {
    check_extension_ids(options.extension_ids, problems);
    plan.expected.origins = origins_for(options.extension_ids);
  }
  plan.user_data = given_user_data(options, problems);
  // The bridge a manifest must name: the one given, else the one installed beside this program.
  if (options.bridge) {
    plan.expected.bridge = absolute_or_note(*options.bridge, problems);
  } else if (auto sibling = tools::sibling_program("varquin-browser-bridge");
             sibling && ::access(sibling->c_str(), X_OK) == 0) {
    plan.expected.bridge = *sibling;
  }
  if (!problems.empty()) {
    print_problems(problems);
    return kUsage;
  }
  return run_checks(plan);
}

// The store's user-data directory: the one given, else the configuration's.
std::optional<std::string> store_user_data(const Options& options, Problems& problems) {
  if (auto given = given_user_data(options, problems)) return given;
  const std::string config_path = resolve_config_path(options, problems);
  if (!problems.empty()) return std::nullopt;
  auto config = BridgeConfig::load(config_path);
  if (!config) {
    problems.push_back("--repair-store looks for the store where the configuration " + config_path +
                       " says, but it is not usable (" + config.error().message +
                       "): pass --user-data DIR");
    return std::nullopt;
  }
  return config->electron_user_data_path;
}

int repair(const Options& options) {
  Problems problems;
  auto user_data = store_user_data(options, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return kUsage;
  }
  if (auto repaired = repair_store(*user_data, options.dry_run, steps()); !repaired) {
    print_problem(repaired.error());
    return kFailed;
  }
  if (options.dry_run) return 0;
  // The store as the next import finds it.
  steps() << "\n";
  Report report(std::cout, options.json);
  check_store(report, *user_data);
  report.finish();
  return report.failures() > 0 ? kFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A bridge that dies while we write to it must show up as a failed check, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  auto options = parse_options(arguments);
  if (!options) {
    print_problem(options.error() + " (see --help)");
    return kUsage;
  }
  if (options->help) {
    std::cout << usage_text();
    return 0;
  }
  g_json = options->json;
  // The store is one user's, wherever the browsers are.
  if (options->mode == Options::Mode::RepairStore) return repair(*options);
  auto places = Places::from_environment();
  if (!places) {
    print_problem(places.error() + "; pass --manifest-dir");
    return kUsage;
  }
  if (options->layout) places->layout = *options->layout;
  if (options->system_root) places->system_root = *options->system_root;
  auto directories = choose_directories(*options, *places);
  if (!directories) {
    print_problem(directories.error());
    return kUsage;
  }
  Problems problems;
  Plan plan{std::move(*directories),
            resolve_config_path(*options, problems),
            {},
            options->json,
            std::nullopt};
  plan.expected.system = options->system;
  if (!problems.empty()) {
    print_problems(problems);
    return kUsage;
  }
  switch (options->mode) {
    case Options::Mode::Install:
      return install(*options, std::move(plan));
    case Options::Mode::Check:
      return check(*options, std::move(plan));
    case Options::Mode::Uninstall:
      return uninstall(*options, plan);
    case Options::Mode::RepairStore:
      break;
  }
  return kUsage;
}
