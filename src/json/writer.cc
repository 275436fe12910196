#include "json/writer.h"

#include <boost/json/serialize.hpp>

#include "util/utf8.h"

namespace varquin::json {

ObjectWriter::ObjectWriter(Style style, std::size_t capacity) : style_(style) {
  out_.reserve(capacity);
  out_ += '{';
}

void ObjectWriter::begin_member(std::string_view key) {
  if (!empty_) out_ += ',';
  if (style_ == Style::Pretty) out_ += "\n  ";
  empty_ = false;
  append_string(key);
  out_ += style_ == Style::Pretty ? ": " : ":";
}

void ObjectWriter::append_string(std::string_view value) {
  if (!util::is_valid_utf8(value)) {
    if (error_.empty()) error_ = "a string value is not valid UTF-8";
    return;
  }
  // Boost.JSON escapes the quote, the backslash and control characters, and nothing else.
  out_ += boost::json::serialize(boost::json::string_view(value.data(), value.size()));
}

ObjectWriter& ObjectWriter::string(std::string_view key, std::string_view value) {
  begin_member(key);
  append_string(value);
  return *this;
}

ObjectWriter& ObjectWriter::unsigned_integer(std::string_view key, std::uint64_t value) {
  begin_member(key);
  out_ += std::to_string(value);
  return *this;
}

ObjectWriter& ObjectWriter::boolean(std::string_view key, bool value) {
  begin_member(key);
  out_ += value ? "true" : "false";
  return *this;
}

ObjectWriter& ObjectWriter::null(std::string_view key) {
  begin_member(key);
  out_ += "null";
  return *this;
}

ObjectWriter& ObjectWriter::strings(std::string_view key, const std::vector<std::string>& values) {
  begin_member(key);
  const bool pretty = style_ == Style::Pretty;
  out_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out_ += ',';
    if (pretty) out_ += "\n    ";
    append_string(values[i]);
  }
  if (pretty && !values.empty()) out_ += "\n  ";
  out_ += ']';
  return *this;
}

Expected<std::string> ObjectWriter::finish() {
  if (!error_.empty()) return std::unexpected(error_);
  if (style_ == Style::Pretty && !empty_) out_ += '\n';
  out_ += '}';
  return std::move(out_);
}

}  // namespace varquin::json
