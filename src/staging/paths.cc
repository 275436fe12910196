#include "staging/paths.h"

#include "staging/errors.h"
#include "util/path.h"
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

namespace {

Result<std::string> new_scratch_name(std::string_view prefix, std::string_view request_id) {
  VARQUIN_ASSIGN_OR_RETURN(auto uuid, util::random_uuid_v4(),
                           staging_failed("Unable to create temporary request directory: "));
  std::string name(prefix);
  name += request_id;
  name += '-';
  name += util::format_uuid_simple(uuid);
  return name;
}

}  // namespace

Result<std::string> new_incoming_name(std::string_view request_id) {
  return new_scratch_name(kIncomingPrefix, request_id);
}

Result<std::string> new_retired_name(std::string_view request_id) {
  return new_scratch_name(kRetiredPrefix, request_id);
}

Result<std::optional<platform::Directory>> open_existing_root(const std::string& path,
                                                              const Prefixed& failure) {
  auto root = platform::Directory::open(path);
  if (root) return std::optional<platform::Directory>(std::move(*root));
  if (platform::means_absent(root.error())) return std::optional<platform::Directory>();
  if (root.error().number == ELOOP) return symlinked_path_failure();
  return failure(root.error());
}

Result<ExistingRoots> open_existing_roots(const StorePaths& paths) {
  VARQUIN_ASSIGN_OR_RETURN(
      auto imports,
      open_existing_root(paths.imports_root(), staging_failed(kImportsInspectFailure)));
  VARQUIN_ASSIGN_OR_RETURN(
      auto terminals,
      open_existing_root(paths.terminals_root(), staging_failed(kTerminalsInspectFailure)));
  return ExistingRoots{std::move(imports), std::move(terminals)};
}

std::string_view name_without_extension(std::string_view name) {
  if (name == "..") return name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace varquin::staging
