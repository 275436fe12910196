// The Chromium browsers the bridge registers with, and where each keeps native-messaging host
// manifests, per user and for every user of the machine, on macOS and on Linux. One row per
// browser: adding a browser is adding a line to the table in browsers.cc.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bridge_connection.h"

namespace varquin::installer {

// Which system's places: this one's by default; tests choose either on any system.
enum class Layout { MacOS, Linux };

Layout native_layout();

struct Browser {
  std::string_view key;   // what --browser takes: "chrome", "edge-beta", …
  std::string_view name;  // for people: "Google Chrome"
  // The browser's own per-user data directory: under ~/Library/Application Support (macOS) or
  // $XDG_CONFIG_HOME, by default ~/.config (Linux). Empty: the browser does not exist there.
  std::string_view macos_user;
  std::string_view linux_user;
  // Where manifests for every user go, absolute. Empty: none.
  std::string_view macos_system;
  std::string_view linux_system;
};

std::span<const Browser> known_browsers();

// The browser of a --browser key; none for an unknown key.
const Browser* find_browser(std::string_view key);

// What the installer needs to place a browser's files: the user's home and XDG_CONFIG_HOME, the
// layout, and a directory that stands for "/" for the system-wide places (packaging, tests).
struct Places {
  Layout layout = native_layout();
  std::string home;
  std::optional<std::string> xdg_config_home;
  std::string system_root = "/";

  // From HOME and XDG_CONFIG_HOME.
  static tools::Outcome<Places> from_environment();

  // The browser's per-user data directory; none where the browser does not exist.
  std::optional<std::string> user_data_directory(const Browser& browser) const;
  // Its per-user manifest directory (<user data>/NativeMessagingHosts).
  std::optional<std::string> user_manifest_directory(const Browser& browser) const;
  // Its system-wide manifest directory (macOS: <that>/NativeMessagingHosts, Linux:
  // <that>/native-messaging-hosts).
  std::optional<std::string> system_manifest_directory(const Browser& browser) const;
};

}  // namespace varquin::installer
