#include "staging/records.h"

#include <array>

#include "import_format.h"
#include "json/reader.h"
#include "json/writer.h"
#include "platform/fd.h"
#include "platform/path.h"
#include "staging/errors.h"
#include "staging/limits.h"
#include "staging/path_checks.h"
#include "staging/paths.h"
#include "staging/request_id.h"
#include "staging/stage_check.h"
#include "util/path.h"
#include "util/utf8.h"

namespace varquin::staging {

namespace {

std::array<json::Field, 10> fields_of(ImportManifest& m) {
  return {{{"schema", &m.schema},
           {"requestId", &m.request_id},
           {"source", &m.source},
           {"originalSourcePath", &m.original_source_path},
           {"filePath", &m.file_path},
           {"originalName", &m.original_name},
           {"sizeBytes", &m.size_bytes},
           {"sha256", &m.sha256},
           {"createdAt", &m.created_at},
           {"temporary", &m.temporary}}};
}

std::array<json::Field, 8> fields_of(TerminalRecord& r) {
  return {{{"schema", &r.schema},
           {"requestId", &r.request_id},
           {"source", &r.source},
           {"originalSourcePath", &r.original_source_path},
           {"originalName", &r.original_name},
           {"sizeBytes", &r.size_bytes},
           {"sha256", &r.sha256},
           {"finalizedAt", &r.finalized_at}}};
}

// The finished pretty document followed by the one "\n" that ends it on disk.
Result<std::string> finish_pretty(json::ObjectWriter& writer, std::string_view failure_prefix) {
  VARQUIN_ASSIGN_OR_RETURN(std::string body, writer.finish(), staging_failed(failure_prefix));
  body += '\n';
  return body;
}

// A record that could not be read; a link found on the way is refused as a link.
std::unexpected<BridgeError> read_failure(const platform::OsError& error) {
  if (error.number == ELOOP) return symlinked_path_failure();
  return request_conflict("Unable to read managed record: ")(error);
}

// The tests shared by both matching operations; `temporary` is the manifest's own concern.
template <typename Record>
bool common_fields_match(const Record& record, std::string_view request_id,
                         const StagingCandidate& candidate, std::string_view sha256) {
  return record.schema == kImportSchema && record.request_id == request_id &&
         record.source == kGmailSource &&
         util::same_path(record.original_source_path, candidate.source_path) &&
         record.original_name == candidate.original_name &&
         record.size_bytes == candidate.size_bytes && record.sha256 == sha256;
}

}  // namespace

Result<std::string> serialize_manifest(const ImportManifest& manifest) {
  json::ObjectWriter writer(json::Style::Pretty, 512);
  writer.string("schema", manifest.schema)
      .string("requestId", manifest.request_id)
      .string("source", manifest.source)
      .string("originalSourcePath", manifest.original_source_path)
      .string("filePath", manifest.file_path)
      .string("originalName", manifest.original_name)
      .unsigned_integer("sizeBytes", manifest.size_bytes)
      .string("sha256", manifest.sha256)
      .string("createdAt", manifest.created_at)
      .boolean("temporary", manifest.temporary);
  return finish_pretty(writer, "Unable to serialize request manifest: ");
}

Result<std::string> serialize_terminal_record(const TerminalRecord& record) {
  json::ObjectWriter writer(json::Style::Pretty, 512);
  writer.string("schema", record.schema)
      .string("requestId", record.request_id)
      .string("source", record.source)
      .string("originalSourcePath", record.original_source_path)
      .string("originalName", record.original_name)
      .unsigned_integer("sizeBytes", record.size_bytes)
      .string("sha256", record.sha256)
      .string("finalizedAt", record.finalized_at);
  return finish_pretty(writer, "Unable to serialize terminal record: ");
}

Status write_atomic_json(const platform::Directory& directory, std::string_view name,
                         const ImportManifest& manifest) {
  VARQUIN_ASSIGN_OR_RETURN(auto document, serialize_manifest(manifest));
  // request.json is first written as request.json.tmp beside it.
  const std::string temporary = std::string(name_without_extension(name)) + ".json.tmp";
  VARQUIN_ASSIGN_OR_RETURN(auto file, directory.create_file(temporary),
                           staging_failed("Unable to create request manifest: "));
  constexpr Prefixed kPersistFailure = staging_failed("Unable to persist request manifest: ");
  // The document already ends in its newline: one write covers both.
  VARQUIN_RETURN_IF_ERROR(
      platform::write_all(
          file.get(), {reinterpret_cast<const std::uint8_t*>(document.data()), document.size()}),
      kPersistFailure);
  VARQUIN_RETURN_IF_ERROR(platform::full_sync(file.get()), kPersistFailure);
  // The handle stays open across the rename and is closed when `file` goes out of scope.
  VARQUIN_RETURN_IF_ERROR(directory.rename(temporary, name),
                          staging_failed("Unable to publish request manifest: "));
  return {};
}

template <typename Record>
Result<Record> read_json(const std::string& path) {
  const util::ParsedPath parsed(path);
  VARQUIN_RETURN_IF_ERROR(reject_symlink_or_reparse_components(parsed));
  const std::optional<std::string_view> name = parsed.file_name();
  if (!name) return read_failure(platform::OsError{EISDIR});
  // Reached again without following links: the check above says nothing about this moment.
  const std::string parent = parsed.parent()->joined();
  VARQUIN_ASSIGN_OR_RETURN(auto directory, platform::Directory::open(parent.empty() ? "." : parent),
                           read_failure);
  return read_json<Record>(directory, *name);
}

template <typename Record>
Result<Record> read_json(const platform::Directory& directory, std::string_view name) {
  VARQUIN_ASSIGN_OR_RETURN(auto bytes, directory.read_file(name, kRecordLimitBytes), read_failure);
  return parse_record<Record>(bytes);
}

template <typename Record>
Result<Record> parse_record(std::string_view bytes) {
  Record record;
  auto fields = fields_of(record);
  VARQUIN_RETURN_IF_ERROR(json::read_object(bytes, fields),
                          Prefixed{"Managed record is invalid: ", ErrorCode::RequestConflict});
  return record;
}

template Result<ImportManifest> read_json<ImportManifest>(const std::string& path);
template Result<TerminalRecord> read_json<TerminalRecord>(const std::string& path);
template Result<ImportManifest> read_json<ImportManifest>(const platform::Directory& directory,
                                                          std::string_view name);
template Result<TerminalRecord> read_json<TerminalRecord>(const platform::Directory& directory,
                                                          std::string_view name);
template Result<ImportManifest> parse_record<ImportManifest>(std::string_view bytes);
template Result<TerminalRecord> parse_record<TerminalRecord>(std::string_view bytes);

bool manifest_accepted(const ImportManifest& manifest, std::string_view directory) {
  auto name = util::file_name(directory);
  if (!name || !util::is_valid_utf8(*name)) return false;
  if (!validate_request_id(*name)) return false;
  if (manifest.request_id != *name) return false;
  if (manifest.schema != kImportSchema || manifest.source != kGmailSource) return false;
  auto parent = util::parent_path(manifest.file_path);
  if (!parent || !util::same_path(*parent, directory)) return false;
  if (!manifest.temporary) return false;
  // The bridge never writes a larger one: a claim of more would fill the byte cap alone.
  return manifest.size_bytes <= kAttachmentLimitBytes;
}

Result<std::optional<ImportManifest>> validated_manifest_for_directory(
    const platform::Directory& stage) {
  auto manifest = read_json<ImportManifest>(stage, kManifestName);
  if (!manifest) {
    // A manifest that could not be read for the environment's sake is no verdict on the stage.
    if (manifest.error().retryable()) return std::unexpected(std::move(manifest).error());
    return std::optional<ImportManifest>();
  }
  if (!manifest_accepted(*manifest, stage.path())) return std::optional<ImportManifest>();
  return std::optional<ImportManifest>(std::move(*manifest));
}

bool manifest_matches(const ImportManifest& manifest, std::string_view request_id,
                      const StagingCandidate& candidate, std::string_view sha256) {
  return common_fields_match(manifest, request_id, candidate, sha256) && manifest.temporary;
}

bool terminal_matches(const TerminalRecord& record, std::string_view request_id,
                      const StagingCandidate& candidate, std::string_view sha256) {
  return common_fields_match(record, request_id, candidate, sha256);
}

namespace {

constexpr Prefixed kRecordReadFailure = request_conflict("Unable to read managed record: ");

// The terminal record's verdict: finalized (true), not finalized (false), or a record that is not
// this request's.
Result<bool> finalized(const StorePaths& paths, std::string_view request_id) {
  VARQUIN_ASSIGN_OR_RETURN(auto terminals,
                           open_existing_root(paths.terminals_root(), kRecordReadFailure));
  const std::string name = std::string(request_id) + ".json";
  if (!terminals) return false;
  VARQUIN_ASSIGN_OR_RETURN(const bool present, entry_present(*terminals, name));
  if (!present) return false;
  VARQUIN_ASSIGN_OR_RETURN(auto record, read_json<TerminalRecord>(*terminals, name));
  if (record.request_id == request_id && record.schema == kImportSchema) return true;
  return fail("The terminal browser import record is invalid", ErrorCode::RequestConflict);
}

std::unexpected<BridgeError> not_found() {
  return fail("The staged browser import was not found", ErrorCode::RequestMissing);
}

}  // namespace

Result<std::optional<std::string>> staged_manifest_path(const BridgeConfig& config,
                                                        std::string_view request_id) {
  VARQUIN_RETURN_IF_ERROR(validate_request_id(request_id));
  const StorePaths paths{config.electron_user_data_path};
  VARQUIN_ASSIGN_OR_RETURN(const bool done, finalized(paths, request_id));
  if (done) return std::optional<std::string>();

  VARQUIN_ASSIGN_OR_RETURN(auto imports,
                           open_existing_root(paths.imports_root(), kRecordReadFailure));
  if (!imports) return not_found();
  VARQUIN_ASSIGN_OR_RETURN(auto stage, directory_if_present(*imports, request_id));
  if (!stage) return not_found();
  VARQUIN_ASSIGN_OR_RETURN(auto manifest, validated_manifest_for_directory(*stage));
  if (!manifest) return not_found();
  // Already implied by the validation above; kept so the lookup does not depend on it.
  auto parent = util::parent_path(manifest->file_path);
  if (manifest->request_id != request_id || !parent ||
      !util::same_path(*parent, paths.stage_directory(request_id))) {
    return fail("The staged browser import record is invalid", ErrorCode::RequestConflict);
  }
  // The app must never be started on a stage it would have to refuse.
  VARQUIN_ASSIGN_OR_RETURN(const bool intact, staged_file_intact(*stage, *manifest));
  if (!intact) {
    return fail("The staged browser import file is missing or was changed",
                ErrorCode::RequestConflict);
  }
  return std::optional<std::string>(paths.manifest_path(request_id));
}

}  // namespace varquin::staging
