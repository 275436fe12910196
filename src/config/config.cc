#include "config/config.h"

#include <sys/stat.h>

#include <cstdlib>

#include "json/reader.h"
#include "platform/ownership.h"
#include "platform/path.h"
#include "util/path.h"

namespace varquin {

namespace {

constexpr std::string_view kConfigSchema = "varquin.browser-bridge.config.v2";
constexpr std::string_view kOriginPrefix = "chrome-extension://";
constexpr std::size_t kMinimumOriginLength = 19;
constexpr std::string_view kDefaultConfigRelative =
    "Library/Application Support/Varquin/browser-bridge/config.json";

bool is_extension_id(std::string_view id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

bool looks_like_origin(std::string_view text) {
  return text.size() >= kMinimumOriginLength && text.starts_with(kOriginPrefix);
}

bool is_allowed_origin_entry(std::string_view entry) {
  return looks_like_origin(entry) && entry.ends_with('/') &&
         entry.find('*') == std::string_view::npos;
}

// The configuration names what the bridge launches and where the user's attachments go: one that
// another user may change would let them run a program as this user. Judged on the descriptor the
// file was read through; a file of the user's own that only they may write costs no more than
// that descriptor's fstat.
Status refuse_if_others_may_change(const struct stat& metadata) {
  const auto exposure = platform::exposure_of(metadata, platform::effective_user());
  if (exposure == platform::Exposure::None) return {};
  return fail("Browser bridge config may be changed by another user: ",
              platform::describe_exposure(exposure, metadata), ErrorCode::ConfigInvalid);
}

}  // namespace

Result<std::string> default_config_path() {
  if (const char* override_path = std::getenv("VARQUIN_BROWSER_BRIDGE_CONFIG")) {
    return std::string(override_path);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr) return fail("HOME is not available", ErrorCode::ConfigMissing);
  return util::join_path(home, kDefaultConfigRelative);
}

Result<BridgeConfig> BridgeConfig::load(const std::string& path) {
  // Bounded, and never waiting on a FIFO: a configuration is a few hundred bytes.
  VARQUIN_ASSIGN_OR_RETURN(
      auto file, platform::read_regular_file_and_metadata(path),
      Prefixed{"Unable to read browser bridge config: ", ErrorCode::ConfigMissing});
  VARQUIN_RETURN_IF_ERROR(refuse_if_others_may_change(file.metadata));
  return parse(file.content);
}

Result<BridgeConfig> BridgeConfig::parse(std::string_view bytes) {
  BridgeConfig config;
  const json::Field fields[] = {
      {"schema", &config.schema},
      {"extensionId", &config.extension_id},
      {"appBundlePath", &config.app_bundle_path},
      {"appExecutablePath", &config.app_executable_path},
      {"electronUserDataPath", &config.electron_user_data_path},
      {"allowedExtensionOrigins", &config.allowed_extension_origins},
  };
  VARQUIN_RETURN_IF_ERROR(json::read_object(bytes, fields),
                          Prefixed{"Browser bridge config is invalid: ", ErrorCode::ConfigInvalid});
  VARQUIN_RETURN_IF_ERROR(config.validate());
  return config;
}

Status BridgeConfig::validate() const {
  if (schema != kConfigSchema || !is_extension_id(extension_id) ||
      !util::is_absolute(electron_user_data_path)) {
    return fail("Browser bridge config has an invalid schema or user-data path",
                ErrorCode::ConfigInvalid);
  }
  bool origins_ok = !allowed_extension_origins.empty();
  for (const std::string& entry : allowed_extension_origins) {
    origins_ok = origins_ok && is_allowed_origin_entry(entry);
  }
  if (!origins_ok) {
    return fail("Browser bridge config has invalid allowed origins", ErrorCode::ConfigInvalid);
  }
  if (!app_bundle_path || !util::is_absolute(*app_bundle_path)) {
    return fail("Browser bridge config is missing the macOS app bundle path",
                ErrorCode::ConfigInvalid);
  }
  return {};
}

Status BridgeConfig::validate_caller_origin(std::span<const std::string> arguments) const {
  for (const std::string& argument : arguments) {
    if (!looks_like_origin(argument)) continue;
    for (const std::string& allowed : allowed_extension_origins) {
      if (argument == allowed) return {};
    }
    return fail("The browser extension origin is not allowed", ErrorCode::ForbiddenOrigin);
  }
  return fail("Chrome did not provide a caller origin", ErrorCode::ForbiddenOrigin);
}

}  // namespace varquin
