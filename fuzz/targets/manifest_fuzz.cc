// The manifest ("request.json") parser: see support/record_checks.h for what is checked.
#include "support/record_checks.h"

namespace varquin::fuzz {

using staging::ImportManifest;

template <>
std::vector<WireField> record_fields(const ImportManifest& m, Choices& choices) {
  auto text = [&](const std::string& value) { return quote(value, pick_escape(choices)); };
  return {{"schema", text(m.schema)},
          {"requestId", text(m.request_id)},
          {"source", text(m.source)},
          {"originalSourcePath", text(m.original_source_path)},
          {"filePath", text(m.file_path)},
          {"originalName", text(m.original_name)},
          {"sizeBytes", std::to_string(m.size_bytes)},
          {"sha256", text(m.sha256)},
          {"createdAt", text(m.created_at)},
          {"temporary", m.temporary ? "true" : "false"}};
}

template <>
bool same_record(const ImportManifest& a, const ImportManifest& b) {
  return a.schema == b.schema && a.request_id == b.request_id && a.source == b.source &&
         a.original_source_path == b.original_source_path && a.file_path == b.file_path &&
         a.original_name == b.original_name && a.size_bytes == b.size_bytes &&
         a.sha256 == b.sha256 && a.created_at == b.created_at && a.temporary == b.temporary;
}

template <>
Result<std::string> serialize_record(const ImportManifest& m) {
  return staging::serialize_manifest(m);
}

}  // namespace varquin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varquin::fuzz::check_record_target<varquin::staging::ImportManifest>(data, size);
  return 0;
}
