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
  FUZZ_CHECK(!parsed.error().retryable);
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

  for (int round = 0; round < 2; ++round) {
    std::string respelled = object_text(record_fields(record, choices), choices);
    auto again = staging::parse_record<Record>(respelled);
    FUZZ_CHECK_MSG(again && same_record(*again, record), respelled);
  }

  const auto fields = record_fields(record, choices);
  const std::size_t pick = choices.below(fields.size());
  auto extra = fields;
  extra.push_back({fields[pick].key + "_", "\"\""});
  check_refused<Record>(object_text(extra, choices));
  auto repeated = fields;
  repeated.push_back(fields[pick]);
  check_refused<Record>(object_text(repeated, choices));
  auto missing = fields;
  missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(pick));
  check_refused<Record>(object_text(missing, choices));
  // No field takes null, and none takes a value of another JSON type.
  for (std::string_view wrong : {"null", "[]", "1.0", "-1"}) {
    auto mistyped = fields;
    mistyped[pick].json = wrong;
    check_refused<Record>(object_text(mistyped, choices));
  }
  check_refused<Record>(array_text(std::vector<std::string>{}, choices));
}

}  // namespace varquin::fuzz
