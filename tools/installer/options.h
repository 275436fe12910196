// The installer's command line.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge_connection.h"
#include "installer/browsers.h"

namespace varquin::installer {

struct Options {
  enum class Mode { Install, Check, Uninstall, RepairStore } mode = Mode::Install;
  // The first is the configuration's "extensionId"; all are allowed origins.
  std::vector<std::string> extension_ids;
  std::optional<std::string> app_bundle;
  std::optional<std::string> user_data;
  std::optional<std::string> bridge;
  std::optional<std::string> config;
  std::vector<std::string> manifest_directories;
  std::vector<std::string> browsers;  // --browser keys, in order
  bool all_browsers = false;
  bool system = false;
  std::optional<Layout> layout;
  std::optional<std::string> system_root;
  bool json = false;
  bool force = false;
  bool dry_run = false;
  bool remove_config = false;
  bool help = false;
};

// `arguments`: after the program name.
tools::Outcome<Options> parse_options(std::span<const std::string> arguments);

const char* usage_text();

}  // namespace varquin::installer
