// The terminal-record parser: see support/record_checks.h for what is checked.
#include "support/record_checks.h"

namespace varquin::fuzz {

using staging::TerminalRecord;

template <>
std::vector<WireField> record_fields(const TerminalRecord& r, Choices& choices) {
  auto text = [&](const std::string& value) { return quote(value, pick_escape(choices)); };
  return {{"schema", text(r.schema)},
          {"requestId", text(r.request_id)},
          {"source", text(r.source)},
          {"originalSourcePath", text(r.original_source_path)},
          {"originalName", text(r.original_name)},
          {"sizeBytes", std::to_string(r.size_bytes)},
          {"sha256", text(r.sha256)},
          {"finalizedAt", text(r.finalized_at)}};
}

template <>
bool same_record(const TerminalRecord& a, const TerminalRecord& b) {
  return a.schema == b.schema && a.request_id == b.request_id && a.source == b.source &&
         a.original_source_path == b.original_source_path && a.original_name == b.original_name &&
         a.size_bytes == b.size_bytes && a.sha256 == b.sha256 && a.finalized_at == b.finalized_at;
}

template <>
Result<std::string> serialize_record(const TerminalRecord& r) {
  return staging::serialize_terminal_record(r);
}

}  // namespace varquin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varquin::fuzz::check_record_target<varquin::staging::TerminalRecord>(data, size);
  return 0;
}
