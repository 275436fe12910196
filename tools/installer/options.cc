#include "installer/options.h"

#include <getopt.h>

#include <string_view>

namespace varquin::installer {

namespace {

constexpr const char* kUsage =
    "usage: varquin-bridge-install --extension-id ID --app-bundle PATH --user-data DIR [options]\n"
    "       varquin-bridge-install --system --extension-id ID [options]\n"
    "       varquin-bridge-install --check [options]\n"
    "       varquin-bridge-install --uninstall [--remove-config] [options]\n"
    "       varquin-bridge-install --repair-store [--user-data DIR] [options]\n"
    "\n"
    "Registers the Varquin browser bridge with the Chromium browsers (Google Chrome and its Beta,\n"
    "Dev and Canary, Chromium, Microsoft Edge and its channels, Brave, Vivaldi, Arc): writes the\n"
    "native-messaging host manifest com.varquin.browser_bridge.json where each browser looks for\n"
    "it and the bridge's configuration, then checks both and starts the bridge once, as the\n"
    "browser would, with a ping.\n"
    "\n"
    "  --extension-id ID     the Varquin extension's ID: 32 letters a-p, shown on\n"
    "                        chrome://extensions; repeat it for the extension's ID in another\n"
    "                        store (the first is the one the configuration names)\n"
    "  --app-bundle PATH     absolute path of the desktop app, e.g. /Applications/Varquin.app\n"
    "  --user-data DIR       absolute path of the desktop app's user-data directory, e.g.\n"
    "                        \"$HOME/Library/Application Support/Varquin\"; with --check or\n"
    "                        --repair-store, the staging store there (default: the one the\n"
    "                        configuration names)\n"
    "  --bridge PATH         the bridge executable the browser starts (default:\n"
    "                        varquin-browser-bridge beside this program)\n"
    "  --browser NAME[,NAME] register with these browsers only: chrome, chrome-beta, chrome-dev,\n"
    "                        chrome-canary, chrome-for-testing, chromium, edge, edge-beta,\n"
    "                        edge-dev, edge-canary,\n"
    "                        brave, vivaldi, arc (default: every one this user has used, i.e.\n"
    "                        whose data directory exists)\n"
    "  --all-browsers        every known browser, used or not\n"
    "  --system              the manifests for every user of the machine (run as root; default:\n"
    "                        every browser); the configuration stays per user, so no\n"
    "                        --app-bundle or --user-data\n"
    "  --manifest-dir DIR    put the manifest in DIR (repeatable) instead: a browser started with\n"
    "                        --user-data-dir=U reads U/NativeMessagingHosts\n"
    "  --config PATH         the configuration file (default: $VARQUIN_BROWSER_BRIDGE_CONFIG, "
    "else\n"
    "                        ~/Library/Application Support/Varquin/browser-bridge/config.json)\n"
    "  --force               replace an existing configuration that differs\n"
    "  --dry-run             show what would be written or removed, and change nothing\n"
    "  --check               write nothing; diagnose the installation in place (--extension-id\n"
    "                        and --bridge, when given, are what it must name)\n"
    "  --json                print the diagnosis as one JSON document (steps go to stderr)\n"
    "  --uninstall           remove this bridge's manifests from every known place\n"
    "  --remove-config       with --uninstall, remove the configuration too\n"
    "  --repair-store        take the staging lock as a bridge does and remove from the store\n"
    "                        what --check names as blocking new imports (entries dated more than\n"
    "                        a day ahead); nothing else\n"
    "  --layout macos|linux  the browsers' places of that system (default: this one's)\n"
    "  --system-root DIR     with --system, DIR stands for \"/\" (packaging into a staging root)\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 done and every check passed, 1 a step or a check failed, 2 invalid usage.\n";

// Splits "a,b" into its names; empty names are refused by the caller's lookup.
void append_list(const std::string& text, std::vector<std::string>& out) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

enum class Key : int {
  Help = 'h',
  ExtensionId = 256,
  AppBundle,
  UserData,
  Bridge,
  Config,
  ManifestDir,
  Browser,
  AllBrowsers,
  System,
  Layout,
  SystemRoot,
  Json,
  Force,
  DryRun,
  Check,
  Uninstall,
  RemoveConfig,
  RepairStore,
};

constexpr option option_for(const char* name, int has_argument, Key key) {
  return {name, has_argument, nullptr, static_cast<int>(key)};
}

const option kLongOptions[] = {
    option_for("extension-id", required_argument, Key::ExtensionId),
    option_for("app-bundle", required_argument, Key::AppBundle),
    option_for("user-data", required_argument, Key::UserData),
    option_for("bridge", required_argument, Key::Bridge),
    option_for("config", required_argument, Key::Config),
    option_for("manifest-dir", required_argument, Key::ManifestDir),
    option_for("browser", required_argument, Key::Browser),
    option_for("all-browsers", no_argument, Key::AllBrowsers),
    option_for("system", no_argument, Key::System),
    option_for("layout", required_argument, Key::Layout),
    option_for("system-root", required_argument, Key::SystemRoot),
    option_for("json", no_argument, Key::Json),
    option_for("force", no_argument, Key::Force),
    option_for("dry-run", no_argument, Key::DryRun),
    option_for("check", no_argument, Key::Check),
    option_for("uninstall", no_argument, Key::Uninstall),
    option_for("remove-config", no_argument, Key::RemoveConfig),
    option_for("repair-store", no_argument, Key::RepairStore),
    option_for("help", no_argument, Key::Help),
    {nullptr, 0, nullptr, 0},
};

std::string option_name(int key) {
  for (const option& o : kLongOptions) {
    if (o.name != nullptr && o.val == key) return std::string("--") + o.name;
  }
  return "-" + std::string(1, static_cast<char>(key));
}

// The arguments as getopt_long wants them: a program name first, mutable C strings.
class CommandLine {
 public:
  explicit CommandLine(std::span<const std::string> arguments)
      : strings_(arguments.begin(), arguments.end()) {
    strings_.insert(strings_.begin(), "varquin-bridge-install");
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  int count() const { return static_cast<int>(strings_.size()); }
  char** argv() { return pointers_.data(); }
  const std::string& at(int index) const { return strings_[static_cast<std::size_t>(index)]; }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// What getopt_long refused (':' a missing value, '?' anything else), in a person's words. Both C
// libraries have stepped past the refused argument.
std::string refusal(int key, const CommandLine& line) {
  const std::string& written = line.at(optind - 1);
  if (key == ':') return written + " needs a value";
  const std::size_t equals = written.find('=');
  if (written.starts_with("--") && equals != std::string::npos) {
    const std::string name = written.substr(2, equals - 2);
    for (const option& o : kLongOptions) {
      if (o.name != nullptr && o.has_arg == no_argument && name == o.name) {
        return written.substr(0, equals) + " takes no value";
      }
    }
  }
  return "unknown argument " + written;
}

}  // namespace

const char* usage_text() {
  return kUsage;
}

tools::Outcome<Options> parse_options(std::span<const std::string> arguments) {
  Options options;
  std::optional<std::string> layout;
  bool check = false, uninstall = false, repair = false;
  const std::pair<Key, std::optional<std::string>*> values[] = {
      {Key::AppBundle, &options.app_bundle},
      {Key::UserData, &options.user_data},
      {Key::Bridge, &options.bridge},
      {Key::Config, &options.config},
      {Key::Layout, &layout},
      {Key::SystemRoot, &options.system_root},
  };
  const std::pair<Key, bool*> flags[] = {
      {Key::Force, &options.force},
      {Key::DryRun, &options.dry_run},
      {Key::RemoveConfig, &options.remove_config},
      {Key::AllBrowsers, &options.all_browsers},
      {Key::System, &options.system},
      {Key::Json, &options.json},
      {Key::Check, &check},
      {Key::Uninstall, &uninstall},
      {Key::RepairStore, &repair},
      {Key::Help, &options.help},
  };
  CommandLine line(arguments);
  // 0 starts a fresh scan in both C libraries (BSD's getopt_long treats it as optreset).
  optind = 0;
  opterr = 0;
  for (;;) {
    int index = -1;
    const int key = getopt_long(line.count(), line.argv(), "+:h", kLongOptions, &index);
    if (key == -1) break;
    if (key == ':' || key == '?') return std::unexpected(refusal(key, line));
    const std::string value = optarg ? optarg : "";
    for (const auto& [k, target] : values) {
      if (key != static_cast<int>(k)) continue;
      if (*target) return std::unexpected(option_name(key) + " is given twice");
      *target = value;
    }
    for (const auto& [k, target] : flags) {
      if (key == static_cast<int>(k)) *target = true;
    }
    if (key == static_cast<int>(Key::ExtensionId)) options.extension_ids.push_back(value);
    if (key == static_cast<int>(Key::ManifestDir)) options.manifest_directories.push_back(value);
    if (key == static_cast<int>(Key::Browser)) append_list(value, options.browsers);
  }
  // Every option takes its value with it: anything left over, after "--" too, is a mistake.
  if (optind < line.count()) return std::unexpected("unknown argument " + line.at(optind));
  if (int{check} + int{uninstall} + int{repair} > 1) {
    return std::unexpected(
        std::string("--check, --uninstall and --repair-store exclude each other"));
  }
  if (check) options.mode = Options::Mode::Check;
  if (uninstall) options.mode = Options::Mode::Uninstall;
  if (repair) options.mode = Options::Mode::RepairStore;
  if (repair && options.system) {
    return std::unexpected(std::string(
        "--repair-store works on one user's store: run it as that user, without --system"));
  }
  if (options.remove_config && !uninstall) {
    return std::unexpected(std::string("--remove-config goes with --uninstall"));
  }
  if (layout) {
    if (*layout != "macos" && *layout != "linux") {
      return std::unexpected("--layout takes macos or linux, not " + *layout);
    }
    options.layout = *layout == "macos" ? Layout::MacOS : Layout::Linux;
  }
  if (options.system_root && !options.system) {
    return std::unexpected(std::string("--system-root goes with --system"));
  }
  if (!options.browsers.empty() && options.all_browsers) {
    return std::unexpected(std::string("--browser and --all-browsers exclude each other"));
  }
  return options;
}

}  // namespace varquin::installer
