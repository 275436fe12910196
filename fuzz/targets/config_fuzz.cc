// The configuration parser. A document that binds to the six keys must be judged by the
// validation rules exactly (checked here against the rules written out independently, in their
// order); an accepted configuration parses to the same record from every other spelling of
// itself, refuses trailing bytes, unknown and repeated keys, and admits exactly its listed
// origins as callers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "json/reader.h"
#include "support/check.h"
#include "support/input.h"
#include "support/json_text.h"

namespace {

using namespace varquin;
using namespace varquin::fuzz;

constexpr std::string_view kOriginPrefix = "chrome-extension://";

bool absolute(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

// The validation rules, in order; none when the configuration is valid.
std::optional<std::string> expected_validation_fault(const BridgeConfig& c) {
  bool id_ok = c.extension_id.size() == 32;
  for (char ch : c.extension_id) id_ok = id_ok && ch >= 'a' && ch <= 'p';
  if (c.schema != "varquin.browser-bridge.config.v2" || !id_ok ||
      !absolute(c.electron_user_data_path)) {
    return "Browser bridge config has an invalid schema or user-data path";
  }
  bool origins_ok = !c.allowed_extension_origins.empty();
  for (const std::string& origin : c.allowed_extension_origins) {
    origins_ok = origins_ok && origin.size() >= 19 && origin.starts_with(kOriginPrefix) &&
                 origin.ends_with('/') && origin.find('*') == std::string::npos;
  }
  if (!origins_ok) return "Browser bridge config has invalid allowed origins";
  if (!c.app_bundle_path || !absolute(*c.app_bundle_path)) {
    return "Browser bridge config is missing the macOS app bundle path";
  }
  return std::nullopt;
}

// The caller rule: the first argument that looks like an origin is compared, and only it.
std::optional<std::string> expected_caller_fault(const BridgeConfig& c,
                                                 const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument.size() < 19 || !argument.starts_with(kOriginPrefix)) continue;
    for (const std::string& origin : c.allowed_extension_origins) {
      if (origin == argument) return std::nullopt;
    }
    return "The browser extension origin is not allowed";
  }
  return "Chrome did not provide a caller origin";
}

// Binds the six keys with the strict reader, without validating.
json::Expected<BridgeConfig> bind_only(std::string_view text) {
  BridgeConfig c;
  const json::Field fields[] = {
      {"schema", &c.schema},
      {"extensionId", &c.extension_id},
      {"appBundlePath", &c.app_bundle_path},
      {"appExecutablePath", &c.app_executable_path},
      {"electronUserDataPath", &c.electron_user_data_path},
      {"allowedExtensionOrigins", &c.allowed_extension_origins},
  };
  if (auto bound = json::read_object(text, fields); !bound) {
    return std::unexpected(bound.error());
  }
  return c;
}

bool same_config(const BridgeConfig& a, const BridgeConfig& b) {
  return a.schema == b.schema && a.extension_id == b.extension_id &&
         a.app_bundle_path == b.app_bundle_path && a.app_executable_path == b.app_executable_path &&
         a.electron_user_data_path == b.electron_user_data_path &&
         a.allowed_extension_origins == b.allowed_extension_origins;
}

std::vector<WireField> wire_fields(const BridgeConfig& c, Choices& choices) {
  auto text = [&](const std::string& value) { return quote(value, pick_escape(choices)); };
  std::string origins;
  std::vector<std::string> quoted;
  for (const std::string& origin : c.allowed_extension_origins) quoted.push_back(text(origin));
  std::vector<WireField> fields{{"schema", text(c.schema)},
                                {"extensionId", text(c.extension_id)},
                                {"electronUserDataPath", text(c.electron_user_data_path)},
                                {"allowedExtensionOrigins", array_text(quoted, choices)}};
  // The optional paths: null and a missing key mean the same.
  auto optional = [&](std::string_view key, const std::optional<std::string>& value) {
    if (value) {
      fields.push_back({std::string(key), text(*value)});
    } else if (choices.below(2) == 0) {
      fields.push_back({std::string(key), "null"});
    }
  };
  optional("appBundlePath", c.app_bundle_path);
  optional("appExecutablePath", c.app_executable_path);
  return fields;
}

void check_accepted(const BridgeConfig& config, std::string_view text, std::string_view tail) {
  FUZZ_CHECK(config.validate().has_value());
  FUZZ_CHECK(!BridgeConfig::parse(std::string(text) + "x").has_value());

  Choices choices = Choices::from_text(text);
  std::string respelled = object_text(wire_fields(config, choices), choices);
  auto again = BridgeConfig::parse(respelled);
  FUZZ_CHECK_MSG(again && same_config(*again, config), respelled);
  // An unknown key or a repeated one, picked by the input.
  auto fields = wire_fields(config, choices);
  if (choices.below(2) == 0) {
    fields.push_back({"extensionID", "\"\""});
  } else {
    fields.push_back(fields[choices.below(fields.size())]);
  }
  FUZZ_CHECK(!BridgeConfig::parse(object_text(fields, choices)).has_value());

  // Every listed origin is admitted, wherever it stands after arguments that do not look like
  // one; an argument that looks like an origin is admitted exactly when it is listed.
  for (const std::string& origin : config.allowed_extension_origins) {
    if (origin.size() < 19) continue;  // too short to be taken as the caller origin
    std::vector<std::string> arguments{"--parent-window=0", "chrome-extension:/", origin};
    FUZZ_CHECK(config.validate_caller_origin(arguments).has_value());
  }
  std::vector<std::string> none{"--x", "chrome-extension:"};
  auto missing = config.validate_caller_origin(none);
  FUZZ_CHECK(!missing && missing.error().message == "Chrome did not provide a caller origin" &&
             missing.error().code == ErrorCode::ForbiddenOrigin && !missing.error().retryable());

  // Near misses of a listed origin, and an origin made of the document's own bytes.
  std::vector<std::string> candidates{std::string(kOriginPrefix) + std::string(tail)};
  if (!config.allowed_extension_origins.empty()) {
    const std::string& first = config.allowed_extension_origins.front();
    candidates.push_back(first.substr(0, first.size() - 1));
    candidates.push_back(first + "/");
    std::string upper = first;
    for (char& ch : upper) ch = ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 32) : ch;
    candidates.push_back(upper);
  }
  for (const std::string& candidate : candidates) {
    std::vector<std::string> arguments{candidate, "chrome-extension://later/"};
    auto expected = expected_caller_fault(config, arguments);
    auto checked = config.validate_caller_origin(arguments);
    FUZZ_CHECK(checked.has_value() == !expected.has_value());
    if (!checked) {
      FUZZ_CHECK(checked.error().message == *expected);
      FUZZ_CHECK(checked.error().code == ErrorCode::ForbiddenOrigin &&
                 !checked.error().retryable());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = BridgeConfig::parse(text);
  auto bound = bind_only(text);

  if (!bound) {
    FUZZ_CHECK(!parsed);
    FUZZ_CHECK(parsed.error().message == "Browser bridge config is invalid: " + bound.error());
  } else if (auto fault = expected_validation_fault(*bound)) {
    FUZZ_CHECK(!parsed);
    FUZZ_CHECK_MSG(parsed.error().message == *fault, parsed.error().message);
  } else {
    FUZZ_CHECK(parsed.has_value());
    FUZZ_CHECK(same_config(*parsed, *bound));
  }
  if (!parsed) {
    FUZZ_CHECK(parsed.error().code == ErrorCode::ConfigInvalid);
    FUZZ_CHECK(!parsed.error().retryable());
    return 0;
  }
  // The caller-origin probe reuses the document's last bytes, which mutate along with it.
  check_accepted(*parsed, text, text.substr(text.size() - std::min<std::size_t>(text.size(), 40)));
  return 0;
}
