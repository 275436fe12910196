#include "staging/layout.h"

#include <sys/stat.h>

#include "platform/fs.h"
#include "util/path.h"
#include "util/utf8.h"
#include "util/uuid.h"

namespace varquin::staging {

std::string StorePaths::imports_root() const {
  return util::join_path(user_data, kImportsRootName);
}

std::string StorePaths::terminals_root() const {
  return util::join_path(user_data, kTerminalsRootName);
}

std::string StorePaths::lock_file() const {
  return util::join_path(imports_root(), kLockFileName);
}

std::string StorePaths::stage_directory(std::string_view request_id) const {
  return util::join_path(imports_root(), request_id);
}

std::string StorePaths::manifest_path(std::string_view request_id) const {
  return util::join_path(stage_directory(request_id), kManifestName);
}

std::string StorePaths::terminal_record(std::string_view request_id) const {
  return util::join_path(terminals_root(), std::string(request_id) + ".json");
}

Result<std::string> new_incoming_name(std::string_view request_id) {
  auto uuid = util::random_uuid_v4();
  if (!uuid) {
    return fail("Unable to create temporary request directory: ", uuid.error().text(),
                ErrorCode::StagingFailed);
  }
  std::string name(kIncomingPrefix);
  name += request_id;
  name += '-';
  name += util::format_uuid_simple(*uuid);
  return name;
}

namespace {

Result<platform::Directory> create_root(const std::string& path, std::string_view failure) {
  auto root = platform::Directory::create(path);
  if (root) return std::move(*root);
  if (root.error().number == ELOOP) return symlinked_path_failure();
  return staging_failure(failure, root.error());
}

}  // namespace

Result<StoreRoots> create_store_roots(const StorePaths& store) {
  auto imports = create_root(store.imports_root(), "Unable to create browser import root: ");
  if (!imports) return std::unexpected(imports.error());
  auto terminals = create_root(store.terminals_root(), "Unable to create terminal root: ");
  if (!terminals) return std::unexpected(terminals.error());
  return StoreRoots{std::move(*imports), std::move(*terminals)};
}

RequestIdFault check_request_id(std::string_view request_id) {
  auto uuid = util::parse_uuid(request_id);
  if (!uuid) return RequestIdFault::Invalid;
  std::string canonical = util::format_uuid_hyphenated(*uuid);
  if (request_id.size() != canonical.size()) return RequestIdFault::NotCanonical;
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    char c = request_id[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != canonical[i]) return RequestIdFault::NotCanonical;
  }
  return RequestIdFault::None;
}

std::string_view request_id_fault_message(RequestIdFault fault) {
  return fault == RequestIdFault::NotCanonical ? "The browser import request ID is not canonical"
                                               : "The browser import request ID is invalid";
}

Status validate_request_id(std::string_view request_id) {
  RequestIdFault fault = check_request_id(request_id);
  if (fault == RequestIdFault::None) return {};
  return fail(std::string(request_id_fault_message(fault)), ErrorCode::InvalidFile);
}

bool is_valid_incoming_directory(const platform::Directory& root, std::string_view name) {
  if (!util::is_valid_utf8(name)) return false;
  if (name.size() != 79 || !name.starts_with(kIncomingPrefix)) return false;
  if (name[46] != '-') return false;
  if (check_request_id(name.substr(10, 36)) != RequestIdFault::None) return false;
  for (char c : name.substr(47, 32)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  auto info = root.stat(name);
  return info && S_ISDIR(info->st_mode);
}

bool has_managed_request_segments(std::string_view path, std::string_view request_id) {
  auto parts = util::path_components(path);
  if (parts.size() < 2) return false;
  return parts.back() == request_id && parts[parts.size() - 2] == kManagedContainerName;
}

std::string_view name_without_extension(std::string_view name) {
  if (name == "..") return name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

Status reject_symlink_or_reparse_components(const std::string& path) {
  // Probe the lexical form: lstat of "link/" or "link/." would follow the link it should report.
  std::optional<std::string> current = path;
  if (auto name = util::file_name(path)) {
    current = util::join_path(util::parent_path(path).value_or(""), *name);
  }
  while (current) {
    // The empty parent of a relative path stands for the working directory.
    const std::string& probe = current->empty() ? std::string(".") : *current;
    auto info = platform::lstat_path(probe);
    if (!info) {
      return fail("Unable to inspect source path: ", info.error().text(), ErrorCode::InvalidFile);
    }
    if (S_ISLNK(info->st_mode)) return symlinked_path_failure();
    if (current->empty()) break;
    current = util::parent_path(*current);
  }
  return {};
}

std::unexpected<BridgeError> symlinked_path_failure() {
  return fail("Symlinked browser import paths are not allowed", ErrorCode::InvalidFile);
}

}  // namespace varquin::staging
