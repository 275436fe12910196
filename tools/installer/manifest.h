// The browser's native-messaging host manifest and the bridge's configuration as the installer
// writes them, and where the browsers look for manifests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bridge_connection.h"
#include "config/config.h"

namespace varquin::installer {

using tools::Outcome;

// The name the extension connects to; the browser looks for "<name>.json".
inline constexpr std::string_view kHostName = "com.varquin.browser_bridge";
inline constexpr std::string_view kConfigSchema = "varquin.browser-bridge.config.v2";

struct HostManifest {
  std::string name;
  std::string description;
  std::string path;  // the host executable, absolute
  std::string type;  // "stdio"
  std::vector<std::string> allowed_origins;
};

// 32 letters from a to p.
bool is_extension_id(std::string_view text);
// "chrome-extension://" + ID + "/": the exact form the browser passes and the bridge compares.
std::string origin_for(std::string_view extension_id);

// The host's name as the browsers accept it: lower-case letters, digits, "_" and ".", the dots
// neither first, last nor doubled.
bool is_valid_host_name(std::string_view name);

// `origins`: one per extension ID, the first the configuration's own.
HostManifest manifest_for(const std::string& bridge_path, const std::vector<std::string>& origins);
BridgeConfig config_for(const std::vector<std::string>& extension_ids,
                        const std::string& app_bundle, const std::string& user_data);

Outcome<std::string> render_manifest(const HostManifest& manifest);
Outcome<std::string> render_config(const BridgeConfig& config);

// Reads a manifest as the browser does: the five keys it needs, each of its type; other keys are
// ignored.
Outcome<HostManifest> parse_manifest(std::string_view bytes);

struct ManifestDirectory {
  std::string browser;  // a label for people
  std::string path;
  // The browser has been used here (its data directory exists): a missing manifest is a fault.
  bool browser_present = false;
};

// `directory`/<host name>.json
std::string manifest_path_in(std::string_view directory);

// The last component of every directory a browser reads manifests from.
bool is_manifest_directory_name(std::string_view name);

}  // namespace varquin::installer
