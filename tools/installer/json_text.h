// Pretty JSON for the installer's two documents. The project's ObjectWriter writes strings,
// numbers and booleans only; these documents also hold null and arrays of strings.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace varquin::installer {

class PrettyObject {
 public:
  PrettyObject& string(std::string_view key, std::string_view value);
  PrettyObject& null(std::string_view key);
  PrettyObject& strings(std::string_view key, const std::vector<std::string>& values);

  // The document with two-space indentation and a final line break, or why it cannot be written
  // (a string that is not UTF-8).
  std::expected<std::string, std::string> finish();

 private:
  void begin_member(std::string_view key);
  void append_string(std::string_view value);

  std::string out_ = "{";
  bool empty_ = true;
  std::string error_;
};

}  // namespace varquin::installer
