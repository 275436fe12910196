// The two JSON records of the store: the import manifest ("request.json") and the terminal record
// the desktop app leaves when it has finalized an import.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

struct ImportManifest {
  std::string schema;
  std::string request_id;
  std::string source;
  std::string original_source_path;
  std::string file_path;
  std::string original_name;
  std::uint64_t size_bytes = 0;
  std::string sha256;
  std::string created_at;
  bool temporary = false;
};

struct TerminalRecord {
  std::string schema;
  std::string request_id;
  std::string source;
  std::string original_source_path;
  std::string original_name;
  std::uint64_t size_bytes = 0;
  std::string sha256;
  std::string finalized_at;
};

// What a new staging attempt is compared with.
struct StagingCandidate {
  std::string_view source_path;  // compared component by component
  std::string_view original_name;
  std::uint64_t size_bytes;
};

// Serialises pretty (two-space indentation, one "\n" after "}") — exposed for tests and tools.
Result<std::string> serialize_manifest(const ImportManifest& manifest);
Result<std::string> serialize_terminal_record(const TerminalRecord& record);

// Writes "<name minus extension>.json.tmp" in `directory` exclusively, fully synced, then renames
// it onto `name` there.
Status write_atomic_json(const platform::Directory& directory, std::string_view name,
                         const ImportManifest& manifest);

// Strict reading of at most 1 MiB; refuses symbolic links anywhere in the path, and anything but a
// regular file, without ever waiting on a FIFO.
template <typename Record>
Result<Record> read_json(const std::string& path);
// The same for the entry `name` of a directory already held open.
template <typename Record>
Result<Record> read_json(const platform::Directory& directory, std::string_view name);

// The parsing half of `read_json`, on bytes already in memory (what the fuzz targets feed).
template <typename Record>
Result<Record> parse_record(std::string_view bytes);

// Whether a manifest read from the stage directory at `directory` is self-consistent: named after
// the directory, of this format and source, its file directly inside the directory, temporary,
// and claiming no more than an attachment may hold.
bool manifest_accepted(const ImportManifest& manifest, std::string_view directory);

// The manifest of a stage directory held open (its path is the one it was opened by), only when
// it is accepted; none for anything else, a failure only when the environment kept it from being
// read ("staging_failed").
Result<std::optional<ImportManifest>> validated_manifest_for_directory(
    const platform::Directory& stage);

bool manifest_matches(const ImportManifest& manifest, std::string_view request_id,
                      const StagingCandidate& candidate, std::string_view sha256);
bool terminal_matches(const TerminalRecord& record, std::string_view request_id,
                      const StagingCandidate& candidate, std::string_view sha256);

// The published manifest of a request: its path, none when the desktop app has already
// finalized it, or an error. Takes no lock and changes nothing.
Result<std::optional<std::string>> staged_manifest_path(const BridgeConfig& config,
                                                        std::string_view request_id);

}  // namespace varquin::staging
