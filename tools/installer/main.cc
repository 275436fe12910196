// varquin-bridge-install: registers the bridge with Google Chrome and Chromium, writes its
// configuration, and checks the result by starting the bridge as the browser would.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bridge_connection.h"
#include "config/config.h"
#include "installer/checks.h"
#include "installer/files.h"
#include "installer/manifest.h"
#include "installer/options.h"
#include "util/path.h"

namespace {

using namespace varquin;
using namespace varquin::installer;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Where things go and what they must say, resolved from the options.
struct Plan {
  std::vector<ManifestDirectory> directories;
  std::string config_path;
  Expectations expected;
};

using Problems = std::vector<std::string>;

void print_problem(const std::string& problem) {
  std::cerr << "varquin-bridge-install: " << problem << "\n";
}

void print_problems(const Problems& problems) {
  for (const auto& problem : problems) print_problem(problem);
}

tools::Outcome<bool> is_present(const std::string& path) {
  auto content = read_if_present(path);
  if (!content) return std::unexpected(content.error());
  return content->has_value();
}

std::string absolute_or_note(const std::string& path, Problems& problems) {
  auto absolute = tools::absolute_as_given(path);
  if (!absolute) problems.push_back(absolute.error());
  return absolute.value_or(path);
}

std::vector<ManifestDirectory> resolve_directories(const Options& options, Problems& problems) {
  if (options.manifest_directories.empty()) {
    auto directories = browser_manifest_directories();
    if (!directories) problems.push_back(directories.error() + "; pass --manifest-dir");
    return directories.value_or(std::vector<ManifestDirectory>{});
  }
  std::vector<ManifestDirectory> directories;
  for (const auto& directory : options.manifest_directories) {
    directories.push_back({"Browser", absolute_or_note(directory, problems)});
  }
  return directories;
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

void check_extension_id(const std::optional<std::string>& id, Problems& problems) {
  if (!id) {
    problems.push_back(
        "--extension-id is required: the Varquin extension's ID, shown on chrome://extensions");
  } else if (!is_extension_id(*id)) {
    problems.push_back("--extension-id \"" + *id + "\" is not an extension ID: " +
                       extension_id_fault(*id) + " (copy the ID from chrome://extensions)");
  }
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
    std::cout << "User data: " << user_data << " is reached through a symbolic link, which the "
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
  Report report(std::cout);
  auto config = check_config(report, plan.config_path);
  note_config_location(report, plan.config_path);
  for (const auto& directory : plan.directories) {
    check_manifest(report, directory, plan.expected, config, plan.config_path);
  }
  if (report.failures() > 0) {
    std::cout << report.failures() << (report.failures() == 1 ? " check" : " checks")
              << " failed.\n";
    return kFailed;
  }
  std::cout << "Every check passed.\n";
  return 0;
}

// Writes `content` unless the file already holds it; says what happened.
bool publish(const std::string& what, const std::string& path, const std::string& content,
             const std::optional<std::string>& existing) {
  if (existing && *existing == content) {
    std::cout << what << " unchanged: " << path << "\n";
    return true;
  }
  if (auto written = write_atomically(path, content); !written) {
    print_problem(written.error());
    return false;
  }
  std::cout << what << (existing ? " replaced: " : " written: ") << path << "\n";
  return true;
}

// What an install writes.
struct Documents {
  std::string origin;
  std::string bridge;
  BridgeConfig config;
  std::string config_text;
  std::string manifest_text;
};

// The documents for the options, or every problem with them.
std::optional<Documents> prepare(const Options& options) {
  Problems problems;
  check_extension_id(options.extension_id, problems);
  check_absolute("--app-bundle", options.app_bundle, "/Applications/Varquin.app", problems);
  check_absolute("--user-data", options.user_data, "\"$HOME/Library/Application Support/Varquin\"",
                 problems);
  Documents documents;
  documents.bridge = resolve_bridge(options, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return std::nullopt;
  }
  const std::string user_data = resolve_user_data(*options.user_data, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return std::nullopt;
  }
  documents.origin = origin_for(*options.extension_id);
  documents.config = config_for(*options.extension_id, *options.app_bundle, user_data);
  if (auto valid = documents.config.validate(); !valid) {
    print_problem(valid.error().message);
    return std::nullopt;
  }
  auto config_text = render_config(documents.config);
  auto manifest_text = render_manifest(manifest_for(documents.bridge, documents.origin));
  if (!config_text || !manifest_text) {
    print_problem(config_text ? manifest_text.error() : config_text.error());
    return std::nullopt;
  }
  documents.config_text = std::move(*config_text);
  documents.manifest_text = std::move(*manifest_text);
  return documents;
}

void print_dry_run(const Plan& plan, const Documents& documents) {
  std::cout << "Would write the configuration " << plan.config_path << ":\n"
            << documents.config_text;
  for (const auto& directory : plan.directories) {
    std::cout << "Would write the " << directory.browser << " manifest "
              << manifest_path_in(directory.path) << ":\n"
              << documents.manifest_text;
  }
}

// Writes the configuration unless an existing one holds the same settings; a different one is
// replaced only with --force. False after a refusal or a failure.
bool write_config(const Options& options, const Plan& plan, const Documents& documents) {
  auto existing = read_if_present(plan.config_path);
  if (!existing) {
    print_problem(existing.error());
    return false;
  }
  if (!*existing || **existing == documents.config_text || options.force) {
    return publish("Configuration", plan.config_path, documents.config_text, *existing);
  }
  auto theirs = BridgeConfig::parse(**existing);
  if (theirs && differing_keys(*theirs, documents.config).empty()) {
    std::cout << "Configuration unchanged (same settings): " << plan.config_path << "\n";
    return true;
  }
  print_problem("not replacing the configuration " + plan.config_path + ": " +
                (theirs ? "it differs in " + differing_keys(*theirs, documents.config)
                        : "it is not a usable configuration (" + theirs.error().message + ")") +
                ". Pass --force to replace it, or --config PATH to write another file.");
  return false;
}

bool write_manifests(const Plan& plan, const Documents& documents) {
  for (const auto& directory : plan.directories) {
    const std::string path = manifest_path_in(directory.path);
    auto previous = read_if_present(path);
    if (!previous) {
      print_problem(previous.error());
      return false;
    }
    if (!publish(directory.browser + " manifest", path, documents.manifest_text, *previous)) {
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
  if (!write_config(options, plan, *documents) || !write_manifests(plan, *documents)) {
    return kFailed;
  }
  std::cout << "\n";
  plan.expected = {documents->origin, documents->bridge};
  return run_checks(plan);
}

int uninstall(const Options& options, const Plan& plan) {
  std::vector<std::pair<std::string, std::string>> targets;
  for (const auto& directory : plan.directories) {
    targets.emplace_back(directory.browser + " manifest", manifest_path_in(directory.path));
  }
  if (options.remove_config) targets.emplace_back("Configuration", plan.config_path);
  int status = 0;
  for (const auto& [what, path] : targets) {
    auto removed = options.dry_run ? is_present(path) : remove_if_present(path);
    if (!removed) {
      print_problem(removed.error());
      status = kFailed;
      continue;
    }
    std::cout << what
              << (*removed ? (options.dry_run ? " would be removed: " : " removed: ")
                           : " was not there: ")
              << path << "\n";
  }
  return status;
}

int check(const Options& options, Plan plan) {
  Problems problems;
  if (options.extension_id) {
    check_extension_id(options.extension_id, problems);
    plan.expected.origin = origin_for(*options.extension_id);
  }
  if (options.bridge) plan.expected.bridge = absolute_or_note(*options.bridge, problems);
  if (!problems.empty()) {
    print_problems(problems);
    return kUsage;
  }
  return run_checks(plan);
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
  Problems problems;
  Plan plan{resolve_directories(*options, problems), resolve_config_path(*options, problems), {}};
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
  }
  return kUsage;
}
