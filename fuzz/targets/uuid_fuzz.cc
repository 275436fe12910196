// The UUID parser and the request-ID rule built on it. Acceptance is compared with the four
// textual forms written out here; an accepted value formats to text that parses back to it in
// every form, the input is its own form's canonical text up to letter case, and the request-ID
// rule accepts exactly the hyphenated form in either case and reports the rest as invalid or not
// canonical.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "staging/request_id.h"
#include "support/check.h"
#include "util/uuid.h"

namespace {

using namespace varquin;

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool hyphenated_shape(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !is_hex(text[i])) return false;
  }
  return true;
}

bool simple_shape(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!is_hex(c)) return false;
  }
  return true;
}

bool any_form(std::string_view text) {
  return hyphenated_shape(text) || simple_shape(text) ||
         (text.size() == 38 && text.front() == '{' && text.back() == '}' &&
          hyphenated_shape(text.substr(1, 36))) ||
         (text.size() == 45 && text.starts_with("urn:uuid:") && hyphenated_shape(text.substr(9)));
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  return out;
}

void check_round_trips(const util::Uuid& uuid) {
  const std::string hyphenated = util::format_uuid_hyphenated(uuid);
  const std::string simple = util::format_uuid_simple(uuid);
  FUZZ_CHECK(hyphenated.size() == 36 && simple.size() == 32);
  for (const std::string& text :
       {hyphenated, simple, "{" + hyphenated + "}", "urn:uuid:" + hyphenated}) {
    auto again = util::parse_uuid(text);
    FUZZ_CHECK_MSG(again && *again == uuid, text);
  }
  FUZZ_CHECK(staging::check_request_id(hyphenated) == staging::RequestIdFault::None);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto uuid = util::parse_uuid(text);
  FUZZ_CHECK_MSG(uuid.has_value() == any_form(text), text);

  auto fault = staging::check_request_id(text);
  auto status = staging::validate_request_id(text);
  FUZZ_CHECK(status.has_value() == (fault == staging::RequestIdFault::None));
  if (!uuid) {
    FUZZ_CHECK(fault == staging::RequestIdFault::Invalid);
  } else {
    FUZZ_CHECK(fault == (hyphenated_shape(text) ? staging::RequestIdFault::None
                                                : staging::RequestIdFault::NotCanonical));
  }
  if (!status) {
    FUZZ_CHECK(status.error().message == staging::request_id_fault_message(fault));
    FUZZ_CHECK(status.error().code == ErrorCode::InvalidFile && !status.error().retryable());
  }
  if (!uuid) return 0;

  check_round_trips(*uuid);
  // The input is its form's canonical text, up to letter case.
  const std::string hyphenated = util::format_uuid_hyphenated(*uuid);
  std::string expected = text.size() == 32   ? util::format_uuid_simple(*uuid)
                         : text.size() == 36 ? hyphenated
                         : text.size() == 38 ? "{" + hyphenated + "}"
                                             : "urn:uuid:" + hyphenated;
  FUZZ_CHECK_MSG(lower(text) == expected, text);
  return 0;
}
