// Writing the flat JSON objects the bridge produces, in the order the fields are added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/expected.h"

namespace varquin::json {

enum class Style {
  Compact,  // no white space between tokens
  Pretty,   // one member a line, two-space indentation, "key": value
};

class ObjectWriter {
 public:
  explicit ObjectWriter(Style style, std::size_t capacity = 128);

  ObjectWriter& string(std::string_view key, std::string_view value);
  ObjectWriter& unsigned_integer(std::string_view key, std::uint64_t value);
  ObjectWriter& boolean(std::string_view key, bool value);
  ObjectWriter& null(std::string_view key);
  // An array of strings; in the pretty style one element a line, indented one level deeper.
  ObjectWriter& strings(std::string_view key, const std::vector<std::string>& values);

  // The document, or a description of why it cannot be written (a string that is not UTF-8).
  Expected<std::string> finish();

 private:
  void begin_member(std::string_view key);
  void append_string(std::string_view value);

  Style style_;
  std::string out_;
  bool empty_ = true;
  std::string error_;
};

}  // namespace varquin::json
