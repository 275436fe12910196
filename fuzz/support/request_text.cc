#include "support/request_text.h"

#include <variant>

namespace varquin::fuzz {

namespace {

using namespace protocol;

// Writes each field as JSON text; without choices every string takes its minimal spelling.
struct FieldWriter {
  Choices* choices;
  std::vector<WireField> fields;

  void text(std::string_view key, const std::string& value) {
    Escape escape = choices != nullptr ? pick_escape(*choices) : Escape::Minimal;
    fields.push_back({std::string(key), quote(value, escape)});
  }
  void number(std::string_view key, std::uint64_t value) {
    fields.push_back({std::string(key), std::to_string(value)});
  }
};

void write(FieldWriter& w, const BeginUpload& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
  w.text("source", r.source);
  w.text("originalName", r.original_name);
  if (r.expected_size) {
    w.number("expectedSize", *r.expected_size);
  } else {
    w.fields.push_back({"expectedSize", "null"});
  }
}
void write(FieldWriter& w, const UploadChunk& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
  w.number("sequence", r.sequence);
  w.text("data", r.data);
}
void write(FieldWriter& w, const CommitUpload& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
}
void write(FieldWriter& w, const LaunchRequest& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
}
void write(FieldWriter& w, const StageDownload& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
  w.text("source", r.source);
  w.text("filePath", r.file_path);
  w.text("originalName", r.original_name);
}
void write(FieldWriter& w, const CleanupDownloadContainer& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
  w.text("requestDirectoryPath", r.request_directory_path);
}
void write(FieldWriter& w, const Ping& r) {
  w.text("schema", r.schema);
  w.text("requestId", r.request_id);
}

}  // namespace

std::string_view action_of(const HostRequest& request) {
  return std::visit([](const auto& r) { return std::decay_t<decltype(r)>::kAction; }, request.body);
}

std::vector<WireField> wire_fields(const HostRequest& request, Choices& choices) {
  FieldWriter writer{&choices, {}};
  std::visit([&](const auto& r) { write(writer, r); }, request.body);
  return std::move(writer.fields);
}

std::vector<WireField> plain_fields(const HostRequest& request) {
  FieldWriter writer{nullptr, {}};
  std::visit([&](const auto& r) { write(writer, r); }, request.body);
  return std::move(writer.fields);
}

std::string describe(const HostRequest& request) {
  std::string out(action_of(request));
  for (const WireField& field : plain_fields(request)) {
    out += ' ';
    out += field.key;
    out += '=';
    out += field.json;
  }
  return out;
}

}  // namespace varquin::fuzz
