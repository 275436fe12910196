// The request parser and HostRequest::validate on arbitrary payloads. Beyond not crashing: white
// space after the document changes nothing and anything else after it is refused; an accepted
// request parses to the same record from every other spelling of itself (member order, escapes,
// white space, the array form); adding, repeating or dropping a field, or giving one a wrong type
// or an out-of-range number, is refused; validate follows the schema and source rules exactly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "import_format.h"
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
  static constexpr std::string_view kSpaces[] = {" ", "\n", "\t\r\n "};
  std::string_view space = kSpaces[text.size() % std::size(kSpaces)];
  FUZZ_CHECK(parse_host_request(std::string(text) + std::string(space)).has_value() == accepted);
  FUZZ_CHECK(!parse_host_request(std::string(text) + (text.size() % 2 ? "x" : "{}")).has_value());
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
  const std::string schema_ok = quote(kImportSchema, Escape::Minimal);
  const std::string source_ok = quote(kGmailSource, Escape::Minimal);
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
    FUZZ_CHECK(!valid.error().retryable());
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
  std::string object = object_text(object_fields(request, choices), choices);
  FUZZ_CHECK_MSG(parsed_description(object) == expected, object);
  std::string array = array_text(array_values(request, choices), choices);
  FUZZ_CHECK_MSG(parsed_description(array) == expected, array);
}

bool is_number_field(std::string_view key) {
  return key == "sequence" || key == "expectedSize";
}

// One mutation that the format refuses, picked per input: every input checks one, and the
// fuzzer's millions of inputs check them all on every kind of request.
void check_one_refusal(const HostRequest& request, Choices& choices) {
  const auto fields = object_fields(request, choices);
  const std::size_t pick = choices.below(fields.size());
  const WireField& some = fields[pick];
  auto refused = [](const std::string& text) {
    FUZZ_CHECK_MSG(!parse_host_request(text).has_value(), text);
  };

  switch (choices.below(6)) {
    case 0: {  // an unknown key, however close to a known one
      static constexpr std::string_view kNearMisses[] = {"x", "", "Action"};
      std::string_view variant = kNearMisses[choices.below(std::size(kNearMisses))];
      std::string key = variant == "x"    ? some.key + "x"
                        : variant.empty() ? some.key.substr(1)
                                          : std::string(variant);
      auto extra = fields;
      extra.push_back({key, "\"\""});
      refused(object_text(extra, choices));
      break;
    }
    case 1: {  // any key twice, "action" included, even with the same value
      auto repeated = fields;
      repeated.push_back(some);
      refused(object_text(repeated, choices));
      break;
    }
    case 2: {  // a required key missing ("expectedSize" alone may be left out)
      if (some.key == "expectedSize") break;
      auto missing = fields;
      missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(pick));
      refused(object_text(missing, choices));
      break;
    }
    case 3: {  // a value of another JSON type
      static constexpr std::string_view kText[] = {"true", "[]", "{}", "1", "null"};
      static constexpr std::string_view kNumber[] = {"true", "[]", "{}", "\"1\""};
      auto wrong = fields;
      wrong[pick].json = is_number_field(some.key) ? kNumber[choices.below(std::size(kNumber))]
                                                   : kText[choices.below(std::size(kText))];
      refused(object_text(wrong, choices));
      break;
    }
    case 4: {  // numbers: negative, fractions, exponents and past each field's range
      auto wrong = fields;
      std::size_t number = 0;
      while (number < wrong.size() && !is_number_field(wrong[number].key)) ++number;
      if (number == wrong.size()) break;
      const bool is_sequence = wrong[number].key == "sequence";
      static constexpr std::string_view kRefused[] = {"-1",  "-0",  "1.5",
                                                      "1.0", "1e2", "18446744073709551616"};
      wrong[number].json = kRefused[choices.below(std::size(kRefused))];
      refused(object_text(wrong, choices));
      wrong[number].json = is_sequence ? "4294967296" : "18446744073709551615";
      FUZZ_CHECK(parse_host_request(object_text(wrong, choices)).has_value() == !is_sequence);
      break;
    }
    default: {  // the array form takes exactly every field, in order
      auto values = array_values(request, choices);
      if (choices.below(2) == 0) {
        values.push_back("null");
      } else {
        values.pop_back();
      }
      refused(array_text(values, choices));
      break;
    }
  }
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
  check_one_refusal(*parsed, choices);
  check_one_refusal(*parsed, choices);
  return 0;
}
