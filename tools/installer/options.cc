#include "installer/options.h"

#include <string_view>

namespace varquin::installer {

namespace {

constexpr const char* kUsage =
    "usage: varquin-bridge-install --extension-id ID --app-bundle PATH --user-data DIR [options]\n"
    "       varquin-bridge-install --system --extension-id ID [options]\n"
    "       varquin-bridge-install --check [options]\n"
    "       varquin-bridge-install --uninstall [--remove-config] [options]\n"
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
    "                        \"$HOME/Library/Application Support/Varquin\"\n"
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

}  // namespace

const char* usage_text() {
  return kUsage;
}

tools::Outcome<Options> parse_options(std::span<const std::string> arguments) {
  Options options;
  std::optional<std::string> layout;
  const std::pair<std::string_view, std::optional<std::string>*> values[] = {
      {"--app-bundle", &options.app_bundle},
      {"--user-data", &options.user_data},
      {"--bridge", &options.bridge},
      {"--config", &options.config},
      {"--layout", &layout},
      {"--system-root", &options.system_root},
  };
  const std::pair<std::string_view, std::vector<std::string>*> lists[] = {
      {"--extension-id", &options.extension_ids},
      {"--manifest-dir", &options.manifest_directories},
  };
  const std::pair<std::string_view, bool*> flags[] = {{"--force", &options.force},
                                                      {"--dry-run", &options.dry_run},
                                                      {"--remove-config", &options.remove_config},
                                                      {"--all-browsers", &options.all_browsers},
                                                      {"--system", &options.system},
                                                      {"--json", &options.json},
                                                      {"--help", &options.help},
                                                      {"-h", &options.help}};
  bool check = false, uninstall = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto next = [&]() -> tools::Outcome<std::string> {
      if (i + 1 >= arguments.size()) return std::unexpected(argument + " needs a value");
      return arguments[++i];
    };
    bool known = false;
    for (const auto& [name, target] : values) {
      if (argument != name) continue;
      VARQUIN_ASSIGN_OR_RETURN(auto value, next());
      if (*target) return std::unexpected(argument + " is given twice");
      *target = std::move(value);
      known = true;
    }
    for (const auto& [name, target] : lists) {
      if (argument != name) continue;
      VARQUIN_ASSIGN_OR_RETURN(auto value, next());
      target->push_back(std::move(value));
      known = true;
    }
    for (const auto& [name, target] : flags) {
      if (argument == name) *target = known = true;
    }
    if (argument == "--browser") {
      VARQUIN_ASSIGN_OR_RETURN(auto value, next());
      append_list(value, options.browsers);
      known = true;
    }
    if (argument == "--check") check = known = true;
    if (argument == "--uninstall") uninstall = known = true;
    if (!known) return std::unexpected("unknown argument " + argument);
  }
  if (check && uninstall) {
    return std::unexpected(std::string("--check and --uninstall exclude each other"));
  }
  if (check) options.mode = Options::Mode::Check;
  if (uninstall) options.mode = Options::Mode::Uninstall;
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
