#include "installer/options.h"

#include <string_view>

namespace varquin::installer {

namespace {

#if defined(__APPLE__)
#define VARQUIN_MANIFEST_DIRECTORIES                                       \
  "~/Library/Application Support/Google/Chrome/NativeMessagingHosts and\n" \
  "                        ~/Library/Application Support/Chromium/NativeMessagingHosts"
#else
#define VARQUIN_MANIFEST_DIRECTORIES                                                    \
  "~/.config/google-chrome/NativeMessagingHosts and\n"                                  \
  "                        ~/.config/chromium/NativeMessagingHosts ($XDG_CONFIG_HOME\n" \
  "                        in place of ~/.config when it is set)"
#endif

constexpr const char* kUsage =
    "usage: varquin-bridge-install --extension-id ID --app-bundle PATH --user-data DIR [options]\n"
    "       varquin-bridge-install --check [options]\n"
    "       varquin-bridge-install --uninstall [--remove-config] [options]\n"
    "\n"
    "Registers the Varquin browser bridge with Google Chrome and Chromium for this user: writes\n"
    "the native-messaging host manifest com.varquin.browser_bridge.json and the bridge's\n"
    "configuration, then checks both and starts the bridge once, as the browser would, with a\n"
    "ping.\n"
    "\n"
    "  --extension-id ID     the Varquin extension's ID: 32 letters a-p, shown on\n"
    "                        chrome://extensions\n"
    "  --app-bundle PATH     absolute path of the desktop app, e.g. /Applications/Varquin.app\n"
    "  --user-data DIR       absolute path of the desktop app's user-data directory, e.g.\n"
    "                        \"$HOME/Library/Application Support/Varquin\"\n"
    "  --bridge PATH         the bridge executable the browser starts (default:\n"
    "                        varquin-browser-bridge beside this program)\n"
    "  --manifest-dir DIR    put the manifest in DIR (repeatable) instead of\n"
    "                        " VARQUIN_MANIFEST_DIRECTORIES
    "\n"
    "                        A browser started with --user-data-dir=U reads "
    "U/NativeMessagingHosts.\n"
    "  --config PATH         the configuration file (default: $VARQUIN_BROWSER_BRIDGE_CONFIG, "
    "else\n"
    "                        ~/Library/Application Support/Varquin/browser-bridge/config.json)\n"
    "  --force               replace an existing configuration that differs\n"
    "  --dry-run             show what would be written or removed, and change nothing\n"
    "  --check               write nothing; check the installation in place (--extension-id and\n"
    "                        --bridge, when given, are what it must name)\n"
    "  --uninstall           remove the manifests\n"
    "  --remove-config       with --uninstall, remove the configuration too\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 done and every check passed, 1 a step or a check failed, 2 invalid usage.\n";

}  // namespace

const char* usage_text() {
  return kUsage;
}

tools::Outcome<Options> parse_options(std::span<const std::string> arguments) {
  Options options;
  const std::pair<std::string_view, std::optional<std::string>*> values[] = {
      {"--extension-id", &options.extension_id},
      {"--app-bundle", &options.app_bundle},
      {"--user-data", &options.user_data},
      {"--bridge", &options.bridge},
      {"--config", &options.config},
  };
  const std::pair<std::string_view, bool*> flags[] = {{"--force", &options.force},
                                                      {"--dry-run", &options.dry_run},
                                                      {"--remove-config", &options.remove_config},
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
      auto value = next();
      if (!value) return std::unexpected(value.error());
      if (*target) return std::unexpected(argument + " is given twice");
      *target = std::move(*value);
      known = true;
    }
    for (const auto& [name, target] : flags) {
      if (argument == name) *target = known = true;
    }
    if (argument == "--manifest-dir") {
      auto value = next();
      if (!value) return std::unexpected(value.error());
      options.manifest_directories.push_back(std::move(*value));
      known = true;
    }
    if (argument == "--check") check = known = true;
    if (argument == "--uninstall") uninstall = known = true;
    if (!known) return std::unexpected("unknown argument " + argument);
  }
  if (check && uninstall)
    return std::unexpected(std::string("--check and --uninstall exclude each other"));
  if (check) options.mode = Options::Mode::Check;
  if (uninstall) options.mode = Options::Mode::Uninstall;
  if (options.remove_config && !uninstall) {
    return std::unexpected(std::string("--remove-config goes with --uninstall"));
  }
  return options;
}

}  // namespace varquin::installer
