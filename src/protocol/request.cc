#include "protocol/request.h"

#include <array>

#include "import_format.h"
#include "json/reader.h"

namespace varquin::protocol {

namespace {

// The fields of each variant in wire order: the order of the array form.
std::array<json::Field, 5> fields_of(BeginUpload& r) {
  return {{{"schema", &r.schema},
           {"requestId", &r.request_id},
           {"source", &r.source},
           {"originalName", &r.original_name},
           {"expectedSize", &r.expected_size}}};
}
std::array<json::Field, 4> fields_of(UploadChunk& r) {
  return {{{"schema", &r.schema},
           {"requestId", &r.request_id},
           {"sequence", &r.sequence},
           {"data", &r.data}}};
}
std::array<json::Field, 2> fields_of(CommitUpload& r) {
  return {{{"schema", &r.schema}, {"requestId", &r.request_id}}};
}
std::array<json::Field, 2> fields_of(LaunchRequest& r) {
  return {{{"schema", &r.schema}, {"requestId", &r.request_id}}};
}
std::array<json::Field, 5> fields_of(StageDownload& r) {
  return {{{"schema", &r.schema},
           {"requestId", &r.request_id},
           {"source", &r.source},
           {"filePath", &r.file_path},
           {"originalName", &r.original_name}}};
}
std::array<json::Field, 3> fields_of(CleanupDownloadContainer& r) {
  return {{{"schema", &r.schema},
           {"requestId", &r.request_id},
           {"requestDirectoryPath", &r.request_directory_path}}};
}
std::array<json::Field, 2> fields_of(Ping& r) {
  return {{{"schema", &r.schema}, {"requestId", &r.request_id}}};
}

using Body = decltype(HostRequest::body);

// An empty body of the variant whose action is `action`.
template <std::size_t I = 0>
std::optional<Body> body_for(std::string_view action) {
  if constexpr (I == std::variant_size_v<Body>) {
    return std::nullopt;
  } else {
    using Variant = std::variant_alternative_t<I, Body>;
    if (action == Variant::kAction) return Body(std::in_place_index<I>);
    return body_for<I + 1>(action);
  }
}

// The action of an object document: exactly one "action" key holding a string.
json::Expected<std::string> object_action(const json::Document& document) {
  const json::Member* found = nullptr;
  for (const json::Member& member : document.members) {
    if (member.key != "action") continue;
    if (found != nullptr) return std::unexpected(std::string("duplicate field `action`"));
    found = &member;
  }
  if (found == nullptr) return std::unexpected(std::string("missing field `action`"));
  if (found->value.kind != json::Value::Kind::String) {
    return std::unexpected(std::string("invalid type for `action`: expected a string"));
  }
  return found->value.text;
}

json::Expected<std::string> array_action(const json::Document& document) {
  if (document.members.empty()) return std::unexpected(std::string("missing action"));
  const json::Value& first = document.members.front().value;
  if (first.kind != json::Value::Kind::String) {
    return std::unexpected(std::string("invalid type for the action: expected a string"));
  }
  return first.text;
}

}  // namespace

const std::string& HostRequest::request_id() const {
  return std::visit([](const auto& r) -> const std::string& { return r.request_id; }, body);
}

Status HostRequest::validate() const {
  const std::string& schema =
      std::visit([](const auto& r) -> const std::string& { return r.schema; }, body);
  if (schema != kImportSchema) {
    return fail("Unsupported browser import schema", ErrorCode::InvalidRequest);
  }
  const std::string* source = nullptr;
  if (auto* begin = std::get_if<BeginUpload>(&body)) source = &begin->source;
  if (auto* download = std::get_if<StageDownload>(&body)) source = &download->source;
  if (source != nullptr && *source != kGmailSource) {
    return fail("Unsupported browser import source", ErrorCode::InvalidRequest);
  }
  return {};
}

json::Expected<HostRequest> parse_host_request(std::string_view bytes) {
  VARQUIN_ASSIGN_OR_RETURN(auto document, json::parse_document(bytes));
  VARQUIN_ASSIGN_OR_RETURN(auto action,
                           document.is_array ? array_action(document) : object_action(document));
  auto body = body_for(action);
  if (!body) return std::unexpected("unknown action `" + action + "`");

  VARQUIN_RETURN_IF_ERROR(std::visit(
      [&](auto& variant) {
        auto fields = fields_of(variant);
        if (document.is_array) {
          return json::bind_array(std::span(document.members).subspan(1), fields);
        }
        return json::bind_object(document.members, fields, "action");
      },
      *body));
  return HostRequest{std::move(*body)};
}

}  // namespace varquin::protocol
