// The checks shared by the manifest and terminal-record targets. An accepted record serialises
// with the product's writer into the pretty form and parses back to itself (what the store writes
// it can read), parses the same from every other spelling, and refuses trailing bytes and unknown,
// repeated, missing or mistyped keys. Every refusal is "Managed record is invalid: ",
// "request_conflict", not retryable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "staging/records.h"
#include "support/check.h"
#include "support/input.h"
#include "support/json_text.h"

namespace varquin::fuzz {

// Supplied by each target: the record's fields as wire text, in the order they are written.
template <typename Record>
std::vector<WireField> record_fields(const Record& record, Choices& choices);

template <typename Record>
bool same_record(const Record& a, const Record& b);

template <typename Record>
Result<std::string> serialize_record(const Record& record);

template <typename Record>
void check_refused(std::string_view text) {
  auto parsed = staging::parse_record<Record>(text);
  FUZZ_CHECK_MSG(!parsed.has_value(), text);
  FUZZ_CHECK(parsed.error().message.starts_with("Managed record is invalid: "));
  FUZZ_CHECK(parsed.error().code == ErrorCode::RequestConflict);
  FUZZ_CHECK(!parsed.error().retryable());
}

// The written form: "{", one member per line indented by two spaces with ": " between key and
// value, "," ending every line but the last, "}" and one "\n".
inline void check_pretty_form(std::string_view text, std::size_t member_count) {
  FUZZ_CHECK(text.starts_with("{\n") && text.ends_with("\n}\n"));
  std::size_t lines = 0;
  std::string_view body = text.substr(2, text.size() - 5);
  while (!body.empty()) {
    std::size_t end = body.find('\n');
    std::string_view line = body.substr(0, end);
    FUZZ_CHECK(line.starts_with("  \"") && line.find("\": ") != std::string_view::npos);
    ++lines;
    FUZZ_CHECK(line.ends_with(',') == (lines < member_count));
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
  }
  FUZZ_CHECK(lines == member_count);
}

template <typename Record>
void check_record_target(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = staging::parse_record<Record>(text);
  if (!parsed) {
    check_refused<Record>(text);
    return;
  }
  const Record& record = *parsed;
  check_refused<Record>(std::string(text) + "x");
  FUZZ_CHECK(staging::parse_record<Record>(std::string(text) + " \n").has_value());

  // What the store writes, it reads back unchanged; the written form is a fixed point.
  auto written = serialize_record(record);
  FUZZ_CHECK_MSG(written.has_value(), "an accepted record does not serialise");
  Choices choices = Choices::from_text(text);
  check_pretty_form(*written, record_fields(record, choices).size());
  auto reread = staging::parse_record<Record>(*written);
  FUZZ_CHECK(reread && same_record(*reread, record));
  auto rewritten = serialize_record(*reread);
  FUZZ_CHECK(rewritten && *rewritten == *written);

  std::string respelled = object_text(record_fields(record, choices), choices);
  auto again = staging::parse_record<Record>(respelled);
  FUZZ_CHECK_MSG(again && same_record(*again, record), respelled);

  // One refusal per input, picked by the input: the fuzzer's inputs cover them all.
  auto fields = record_fields(record, choices);
  const std::size_t pick = choices.below(fields.size());
  switch (choices.below(4)) {
    case 0:
      fields.push_back({fields[pick].key + "_", "\"\""});
      break;
    case 1:
      fields.push_back(fields[pick]);
      break;
    case 2:
      fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(pick));
      break;
    default: {
      // No field takes null, and none takes a value of another JSON type.
      static constexpr std::string_view kWrong[] = {"null", "[]", "1.0", "-1", "{}"};
      fields[pick].json = kWrong[choices.below(std::size(kWrong))];
      break;
    }
  }
  check_refused<Record>(object_text(fields, choices));
}

}  // namespace varquin::fuzz
