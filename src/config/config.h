// The bridge's one configuration file, and the check of the caller's extension origin.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace varquin {

struct BridgeConfig {
  std::string schema;
  std::string extension_id;
  std::optional<std::string> app_bundle_path;
  std::optional<std::string> app_executable_path;  // kept, never read
  std::string electron_user_data_path;
  std::vector<std::string> allowed_extension_origins;

  // Reads, parses strictly and validates the file at `path`.
  static Result<BridgeConfig> load(const std::string& path);
  // Parses and validates file content (what `load` does after reading).
  static Result<BridgeConfig> parse(std::string_view bytes);

  Status validate() const;
  // `arguments`: the process arguments after the program path, in order.
  Status validate_caller_origin(std::span<const std::string> arguments) const;
};

// VARQUIN_BROWSER_BRIDGE_CONFIG (even empty) or $HOME/Library/Application Support/Varquin/...
Result<std::string> default_config_path();

}  // namespace varquin
