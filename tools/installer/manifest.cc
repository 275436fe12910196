#include "installer/manifest.h"

#include <cstdlib>
#include <optional>

#include "installer/files.h"
#include "json/reader.h"
#include "json/writer.h"
#include "util/path.h"

namespace varquin::installer {

namespace {

using json::Value;

constexpr std::string_view kDescription = "Varquin browser bridge";

// The member `key` of `document`, or why it is not there.
Outcome<const Value*> member(const json::Document& document, std::string_view key) {
  const Value* found = nullptr;
  for (const auto& m : document.members) {
    if (m.key != key) continue;
    if (found) return std::unexpected("the key " + quoted(key) + " appears twice");
    found = &m.value;
  }
  if (!found) return std::unexpected("the key " + quoted(key) + " is missing");
  return found;
}

Outcome<std::string> text_member(const json::Document& document, std::string_view key) {
  VARQUIN_ASSIGN_OR_RETURN(auto value, member(document, key));
  if ((value)->kind != Value::Kind::String) {
    return std::unexpected(quoted(key) + " is not a string");
  }
  return (value)->text;
}

}  // namespace

bool is_extension_id(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

std::string origin_for(std::string_view extension_id) {
  std::string origin = "chrome-extension://";
  origin += extension_id;
  origin += '/';
  return origin;
}

bool is_valid_host_name(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    if (!allowed || (c == '.' && name[i + 1] == '.')) return false;
  }
  return true;
}

HostManifest manifest_for(const std::string& bridge_path, const std::vector<std::string>& origins) {
  return {std::string(kHostName), std::string(kDescription), bridge_path, "stdio", origins};
}

BridgeConfig config_for(const std::vector<std::string>& extension_ids,
                        const std::string& app_bundle, const std::string& user_data) {
  BridgeConfig config;
  config.schema = kConfigSchema;
  config.extension_id = extension_ids.front();
  config.app_bundle_path = app_bundle;
  config.electron_user_data_path = user_data;
  for (const std::string& id : extension_ids) {
    config.allowed_extension_origins.push_back(origin_for(id));
  }
  return config;
}

// The pretty document and the line break that ends a text file.
Outcome<std::string> finish_file(json::ObjectWriter& document) {
  auto text = document.finish();
  if (text) *text += '\n';
  return text;
}

Outcome<std::string> render_manifest(const HostManifest& manifest) {
  json::ObjectWriter document(json::Style::Pretty);
  document.string("name", manifest.name)
      .string("description", manifest.description)
      .string("path", manifest.path)
      .string("type", manifest.type)
      .strings("allowed_origins", manifest.allowed_origins);
  return finish_file(document);
}

Outcome<std::string> render_config(const BridgeConfig& config) {
  json::ObjectWriter document(json::Style::Pretty);
  document.string("schema", config.schema).string("extensionId", config.extension_id);
  auto optional_path = [&](std::string_view key, const std::optional<std::string>& path) {
    if (path) {
      document.string(key, *path);
    } else {
      document.null(key);
    }
  };
  optional_path("appBundlePath", config.app_bundle_path);
  optional_path("appExecutablePath", config.app_executable_path);
  document.string("electronUserDataPath", config.electron_user_data_path)
      .strings("allowedExtensionOrigins", config.allowed_extension_origins);
  return finish_file(document);
}

Outcome<HostManifest> parse_manifest(std::string_view bytes) {
  auto document = json::parse_document(bytes);
  if (!document) return std::unexpected("not JSON: " + document.error());
  if (document->is_array) return std::unexpected(std::string("not a JSON object"));
  HostManifest manifest;
  const std::pair<std::string_view, std::string*> texts[] = {{"name", &manifest.name},
                                                             {"description", &manifest.description},
                                                             {"path", &manifest.path},
                                                             {"type", &manifest.type}};
  for (const auto& [key, target] : texts) {
    VARQUIN_ASSIGN_OR_RETURN(auto text, text_member(*document, key));
    *target = std::move(text);
  }
  VARQUIN_ASSIGN_OR_RETURN(auto origins, member(*document, "allowed_origins"));
  if ((origins)->kind != Value::Kind::StringArray) {
    return std::unexpected(std::string("\"allowed_origins\" is not an array of strings"));
  }
  manifest.allowed_origins = (origins)->strings;
  return manifest;
}

std::string manifest_path_in(std::string_view directory) {
  return util::join_path(directory, std::string(kHostName) + ".json");
}

bool is_manifest_directory_name(std::string_view name) {
  // Per-user and macOS-wide directories, and the Linux system-wide ones.
  return name == "NativeMessagingHosts" || name == "native-messaging-hosts";
}

}  // namespace varquin::installer
