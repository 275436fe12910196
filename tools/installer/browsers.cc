#include "installer/browsers.h"

#include <array>
#include <cstdlib>

#include "util/path.h"

namespace varquin::installer {

namespace {

constexpr std::string_view kChromeSystemMac = "/Library/Google/Chrome";
constexpr std::string_view kEdgeSystemMac = "/Library/Microsoft/Edge";

// key, name, macOS per-user, Linux per-user, macOS system-wide, Linux system-wide.
constexpr std::array<Browser, 13> kBrowsers{{
    {"chrome", "Google Chrome", "Google/Chrome", "google-chrome", kChromeSystemMac,
     "/etc/opt/chrome"},
    {"chrome-beta", "Google Chrome Beta", "Google/Chrome Beta", "google-chrome-beta",
     kChromeSystemMac, "/etc/opt/chrome"},
    {"chrome-dev", "Google Chrome Dev", "Google/Chrome Dev", "google-chrome-unstable",
     kChromeSystemMac, "/etc/opt/chrome"},
    {"chrome-canary", "Google Chrome Canary", "Google/Chrome Canary", "", kChromeSystemMac, ""},
    {"chrome-for-testing", "Google Chrome for Testing", "Google/Chrome for Testing",
     "google-chrome-for-testing", "", ""},
    {"chromium", "Chromium", "Chromium", "chromium", "/Library/Application Support/Chromium",
     "/etc/chromium"},
    {"edge", "Microsoft Edge", "Microsoft Edge", "microsoft-edge", kEdgeSystemMac, "/etc/opt/edge"},
    {"edge-beta", "Microsoft Edge Beta", "Microsoft Edge Beta", "microsoft-edge-beta",
     kEdgeSystemMac, "/etc/opt/edge"},
    {"edge-dev", "Microsoft Edge Dev", "Microsoft Edge Dev", "microsoft-edge-dev", kEdgeSystemMac,
     "/etc/opt/edge"},
    {"edge-canary", "Microsoft Edge Canary", "Microsoft Edge Canary", "", kEdgeSystemMac, ""},
    {"brave", "Brave", "BraveSoftware/Brave-Browser", "BraveSoftware/Brave-Browser",
     "/Library/Application Support/BraveSoftware/Brave-Browser", "/etc/opt/brave"},
    {"vivaldi", "Vivaldi", "Vivaldi", "vivaldi", "/Library/Application Support/Vivaldi",
     "/etc/opt/vivaldi"},
    {"arc", "Arc", "Arc/User Data", "", "", ""},
}};

std::optional<std::string> nonempty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace

Layout native_layout() {
#if defined(__APPLE__)
  return Layout::MacOS;
#else
  return Layout::Linux;
#endif
}

std::span<const Browser> known_browsers() {
  return kBrowsers;
}

const Browser* find_browser(std::string_view key) {
  for (const Browser& browser : kBrowsers) {
    if (browser.key == key) return &browser;
  }
  return nullptr;
}

tools::Outcome<Places> Places::from_environment() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || !util::is_absolute(home)) {
    return std::unexpected(std::string("HOME is not set to an absolute path"));
  }
  Places places;
  places.home = home;
  // The browsers keep their profiles under XDG_CONFIG_HOME when it is set (and absolute).
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && util::is_absolute(xdg)) {
    places.xdg_config_home = std::string(xdg);
  }
  return places;
}

std::optional<std::string> Places::user_data_directory(const Browser& browser) const {
  if (layout == Layout::MacOS) {
    if (browser.macos_user.empty()) return std::nullopt;
    return util::join_path(util::join_path(home, "Library/Application Support"),
                           browser.macos_user);
  }
  if (browser.linux_user.empty()) return std::nullopt;
  const std::string base = xdg_config_home.value_or(util::join_path(home, ".config"));
  return util::join_path(base, browser.linux_user);
}

std::optional<std::string> Places::user_manifest_directory(const Browser& browser) const {
  auto directory = user_data_directory(browser);
  if (!directory) return std::nullopt;
  return util::join_path(*directory, "NativeMessagingHosts");
}

std::optional<std::string> Places::system_manifest_directory(const Browser& browser) const {
  const bool mac = layout == Layout::MacOS;
  auto base = nonempty(mac ? browser.macos_system : browser.linux_system);
  if (!base) return std::nullopt;
  // The table's places are absolute; below another root they keep their shape.
  std::string rooted = util::join_path(system_root, base->substr(1));
  return util::join_path(rooted, mac ? "NativeMessagingHosts" : "native-messaging-hosts");
}

}  // namespace varquin::installer
