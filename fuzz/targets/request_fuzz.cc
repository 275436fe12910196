// The request parser and HostRequest::validate on arbitrary payloads. Beyond not crashing: white
// space after the document changes nothing and anything else after it is refused; an accepted
// request parses to the same record from every other spelling of itself (member order, escapes,
// white space, the array form); adding, repeating or dropping a field, or giving one a wrong type
// or an out-of-range number, is refused; validate follows the schema and source rules exactly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/request.h"
#include "support/check.h"
#include "support/input.h"
#include "support/request_text.h"

namespace {

using namespace varquin;
using namespace varquin::fuzz;
using protocol::HostRequest;
using protocol::parse_host_request;

// The description of the request `text` parses to, or none.
std::optional<std::string> parsed_description(std::string_view text) {
  auto parsed = parse_host_request(text);
  if (!parsed) return std::nullopt;
  return describe(*parsed);
}

void check_trailing_bytes(std::string_view text, bool accepted) {
  for (std::string_view space : {" ", "\n", "\t\r\n "}) {
    FUZZ_CHECK(parse_host_request(std::string(text) + std::string(space)).has_value() == accepted);
  }
  FUZZ_CHECK(!parse_host_request(std::string(text) + "x").has_value());
  FUZZ_CHECK(!parse_host_request(std::string(text) + "{}").has_value());
}

void check_validate(const HostRequest& request) {
  const auto fields = plain_fields(request);
  auto value_of = [&](std::string_view key) -> std::optional<std::string> {
    for (const WireField& field : fields) {
      if (field.key == key) return field.json;
    }
    return std::nullopt;
  };
  // Minimal spellings of the two literal values the rules accept.
  const std::string schema_ok = quote(protocol::kRequestSchema, Escape::Minimal);
  const std::string source_ok = quote(protocol::kGmailSource, Escape::Minimal);
  auto schema = value_of("schema");
  auto source = value_of("source");
  FUZZ_CHECK(schema.has_value());
  // Only the two actions that name a source carry one.
  bool carries_source =
      action_of(request) == "begin_upload" || action_of(request) == "stage_download";
  FUZZ_CHECK(source.has_value() == carries_source);

  auto valid = request.validate();
  if (*schema != schema_ok) {
    FUZZ_CHECK(!valid && valid.error().message == "Unsupported browser import schema");
  } else if (source && *source != source_ok) {
    FUZZ_CHECK(!valid && valid.error().message == "Unsupported browser import source");
  } else {
    FUZZ_CHECK(valid.has_value());
  }
  if (!valid) {
    FUZZ_CHECK(valid.error().code == ErrorCode::InvalidRequest);
    FUZZ_CHECK(!valid.error().retryable);
  }
}

std::vector<WireField> object_fields(const HostRequest& request, Choices& choices) {
  auto fields = wire_fields(request, choices);
  // An absent size may be written as null or left out.
  if (!fields.empty() && fields.back().key == "expectedSize" && fields.back().json == "null" &&
      choices.below(2) == 0) {
    fields.pop_back();
  }
  fields.push_back({"action", quote(action_of(request), pick_escape(choices))});
  return fields;
}

std::vector<std::string> array_values(const HostRequest& request, Choices& choices) {
  std::vector<std::string> values{quote(action_of(request), pick_escape(choices))};
  for (WireField& field : wire_fields(request, choices)) values.push_back(std::move(field.json));
  return values;
}

void check_respellings(const HostRequest& request, Choices& choices) {
  const std::string expected = describe(request);
  for (int round = 0; round < 3; ++round) {
    std::string object = object_text(object_fields(request, choices), choices);
    FUZZ_CHECK_MSG(parsed_description(object) == expected, object);
    std::string array = array_text(array_values(request, choices), choices);
    FUZZ_CHECK_MSG(parsed_description(array) == expected, array);
  }
}

bool is_number_field(std::string_view key) {
  return key == "sequence" || key == "expectedSize";
}

void check_refusals(const HostRequest& request, Choices& choices) {
  const auto fields = object_fields(request, choices);
  auto refused = [](const std::string& text) {
    FUZZ_CHECK_MSG(!parse_host_request(text).has_value(), text);
  };

  // An unknown key, however close to a known one.
  const WireField& some = fields[choices.below(fields.size())];
  for (std::string key : {some.key + "x", some.key.substr(1), std::string("Action")}) {
    if (key.empty()) continue;
    auto extra = fields;
    extra.push_back({key, "\"\""});
    refused(object_text(extra, choices));
  }

  // Any key twice, "action" included, even with the same value.
  auto repeated = fields;
  repeated.push_back(some);
  refused(object_text(repeated, choices));

  // Any required key missing ("expectedSize" alone may be left out).
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].key == "expectedSize") continue;
    auto missing = fields;
    missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(i));
    refused(object_text(missing, choices));
  }

  // Wrong types and numbers out of range.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    auto wrong = fields;
    for (std::string_view value : {"true", "[]", "{}"}) {
      wrong[i].json = value;
      refused(object_text(wrong, choices));
    }
    if (is_number_field(fields[i].key)) {
      const bool is_sequence = fields[i].key == "sequence";
      for (std::string_view value : {"-1", "1.5", "1e2", "\"1\"", "18446744073709551616"}) {
        wrong[i].json = value;
        refused(object_text(wrong, choices));
      }
      wrong[i].json = is_sequence ? "4294967296" : "18446744073709551615";
      FUZZ_CHECK(parse_host_request(object_text(wrong, choices)).has_value() == !is_sequence);
    } else {
      for (std::string_view value : {"1", "null"}) {
        wrong[i].json = value;
        refused(object_text(wrong, choices));
      }
    }
  }

  // The array form takes exactly every field, in order.
  auto values = array_values(request, choices);
  auto longer = values;
  longer.push_back("null");
  refused(array_text(longer, choices));
  auto shorter = values;
  shorter.pop_back();
  refused(array_text(shorter, choices));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = parse_host_request(text);
  check_trailing_bytes(text, parsed.has_value());
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().empty());
    return 0;
  }
  Choices choices = Choices::from_text(text);
  FUZZ_CHECK(parsed->request_id() ==
             std::visit([](const auto& r) { return r.request_id; }, parsed->body));
  check_validate(*parsed);
  check_respellings(*parsed, choices);
  check_refusals(*parsed, choices);
  return 0;
}
