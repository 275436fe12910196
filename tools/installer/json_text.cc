#include "installer/json_text.h"

#include <boost/json/serialize.hpp>

#include "util/utf8.h"

namespace varquin::installer {

void PrettyObject::begin_member(std::string_view key) {
  out_ += empty_ ? "\n  " : ",\n  ";
  empty_ = false;
  append_string(key);
  out_ += ": ";
}

void PrettyObject::append_string(std::string_view value) {
  if (!util::is_valid_utf8(value)) {
    if (error_.empty()) error_ = "a value is not valid UTF-8";
    return;
  }
  // The same escaping as the bridge's own writer: quote, backslash and control characters.
  out_ += boost::json::serialize(boost::json::string_view(value.data(), value.size()));
}

PrettyObject& PrettyObject::string(std::string_view key, std::string_view value) {
  begin_member(key);
  append_string(value);
  return *this;
}

PrettyObject& PrettyObject::null(std::string_view key) {
  begin_member(key);
  out_ += "null";
  return *this;
}

PrettyObject& PrettyObject::strings(std::string_view key, const std::vector<std::string>& values) {
  begin_member(key);
  if (values.empty()) {
    out_ += "[]";
    return *this;
  }
  out_ += "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    out_ += i == 0 ? "\n    " : ",\n    ";
    append_string(values[i]);
  }
  out_ += "\n  ]";
  return *this;
}

std::expected<std::string, std::string> PrettyObject::finish() {
  if (!error_.empty()) return std::unexpected(error_);
  out_ += empty_ ? "}\n" : "\n}\n";
  return std::move(out_);
}

}  // namespace varquin::installer
