// Strict reading of the flat JSON records the bridge accepts: requests, the configuration and
// the store's records. A streaming parser builds a flat document (one level of members, string
// arrays as the only nested values); typed records are then bound field by field, refusing
// unknown, repeated and missing keys and wrong types.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/expected.h"

namespace varquin::json {

struct Value {
  enum class Kind { Null, Bool, String, Unsigned, Negative, Fraction, StringArray, Nested };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t number = 0;
  std::string text;
  std::vector<std::string> strings;
};

struct Member {
  std::string key;  // empty for the elements of an array document
  Value value;
};

struct Document {
  bool is_array = false;
  std::vector<Member> members;
};

// Parses one JSON document (object or array at the top) with a nesting limit of 128, followed by
// nothing but JSON white space. The error names the fault and its line and column.
Expected<Document> parse_document(std::string_view bytes);

using FieldTarget =
    std::variant<std::string*, std::uint64_t*, std::uint32_t*, bool*, std::optional<std::uint64_t>*,
                 std::optional<std::string>*, std::vector<std::string>*>;

struct Field {
  std::string_view key;
  FieldTarget target;
};

// Binds object members to `fields` by key: every field is required except the optional ones
// (which also take null), and unknown or repeated keys are refused. `skip_key` names one key the
// caller has already consumed (a request's "action").
Expected<void> bind_object(std::span<Member> members, std::span<const Field> fields,
                           std::string_view skip_key = {});

// Binds array elements to `fields` in order; the counts must match exactly. Strings are moved
// out of the members.
Expected<void> bind_array(std::span<Member> elements, std::span<const Field> fields);

// Parses an object document and binds it (arrays are refused).
Expected<void> read_object(std::string_view bytes, std::span<const Field> fields);

}  // namespace varquin::json
