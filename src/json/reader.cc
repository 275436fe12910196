#include "json/reader.h"

#include <boost/json/basic_parser_impl.hpp>

#include <limits>

#include "base/result.h"

namespace varquin::json {

namespace {

using boost::json::error_code;
using boost::json::string_view;

// Builds a flat Document from parser events. Containers below the first nested level only mark
// their member as Nested (a type error for every field the bridge knows).
class FlatHandler {
 public:
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

  Document document;
  bool saw_container = false;

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code&) { return open_container(false); }
  bool on_object_end(std::size_t, error_code&) { return close_container(); }
  bool on_array_begin(error_code&) { return open_container(true); }
  bool on_array_end(std::size_t, error_code&) { return close_container(); }

  bool on_key_part(string_view s, std::size_t, error_code&) {
    if (depth_ == 1) key_.append(s.data(), s.size());
    return true;
  }
  bool on_key(string_view s, std::size_t, error_code&) {
    if (depth_ == 1) key_.append(s.data(), s.size());
    return true;
  }

  bool on_string_part(string_view s, std::size_t, error_code&) {
    if (depth_ <= 2) text_.append(s.data(), s.size());
    return true;
  }
  bool on_string(string_view s, std::size_t, error_code&) {
    if (depth_ > 2) return true;
    text_.append(s.data(), s.size());
    Value value;
    value.kind = Value::Kind::String;
    value.text = std::move(text_);
    text_.clear();
    return scalar(std::move(value));
  }

  bool on_number_part(string_view s, error_code&) {
    if (!number_started_) {
      number_started_ = true;
      number_negative_ = !s.empty() && s[0] == '-';
    }
    return true;
  }
  bool on_int64(std::int64_t i, string_view s, error_code&) {
    // "-0" arrives as 0: the sign is read from the text.
    bool negative = number_started_ ? number_negative_ : (!s.empty() && s[0] == '-');
    reset_number();
    Value value;
    value.kind = negative || i < 0 ? Value::Kind::Negative : Value::Kind::Unsigned;
    value.number = negative ? 0 : static_cast<std::uint64_t>(i);
    return scalar(std::move(value));
  }
  bool on_uint64(std::uint64_t u, string_view, error_code&) {
    reset_number();
    Value value;
    value.kind = Value::Kind::Unsigned;
    value.number = u;
    return scalar(std::move(value));
  }
  bool on_double(double, string_view, error_code&) {
    reset_number();
    Value value;
    value.kind = Value::Kind::Fraction;
    return scalar(std::move(value));
  }
  bool on_bool(bool b, error_code&) {
    Value value;
    value.kind = Value::Kind::Bool;
    value.boolean = b;
    return scalar(std::move(value));
  }
  bool on_null(error_code&) { return scalar(Value{}); }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

 private:
  bool open_container(bool is_array) {
    if (depth_ == 0) {
      saw_container = true;
      document.is_array = is_array;
    } else if (depth_ == 1) {
      pending_ = Value{};
      pending_.kind = is_array ? Value::Kind::StringArray : Value::Kind::Nested;
    } else {
      pending_.kind = Value::Kind::Nested;
    }
    ++depth_;
    return true;
  }

  bool close_container() {
    --depth_;
    if (depth_ == 1) push(std::move(pending_));
    return true;
  }

  bool scalar(Value value) {
    if (depth_ == 1) {
      push(std::move(value));
    } else if (depth_ == 2) {
      if (value.kind == Value::Kind::String && pending_.kind == Value::Kind::StringArray) {
        pending_.strings.push_back(std::move(value.text));
      } else {
        pending_.kind = Value::Kind::Nested;
      }
    }
    return true;
  }

  void push(Value value) {
    document.members.push_back(Member{std::move(key_), std::move(value)});
    key_.clear();
  }

  void reset_number() {
    number_started_ = false;
    number_negative_ = false;
  }

  int depth_ = 0;
  std::string key_;
  std::string text_;
  Value pending_;
  bool number_started_ = false;
  bool number_negative_ = false;
};

std::string located(std::string_view what, std::string_view bytes, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::string(what) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What a field of each target type takes, for messages; by type, so a new alternative needs a
// name of its own.
std::string_view kind_name(std::string*) {
  return "a string";
}
std::string_view kind_name(std::uint64_t*) {
  return "an unsigned 64-bit integer";
}
std::string_view kind_name(std::uint32_t*) {
  return "an unsigned 32-bit integer";
}
std::string_view kind_name(bool*) {
  return "a boolean";
}
std::string_view kind_name(std::optional<std::uint64_t>*) {
  return "an unsigned 64-bit integer or null";
}
std::string_view kind_name(std::optional<std::string>*) {
  return "a string or null";
}
std::string_view kind_name(std::vector<std::string>*) {
  return "an array of strings";
}

std::string_view kind_name(FieldTarget const& target) {
  return std::visit([](auto* pointer) { return kind_name(pointer); }, target);
}

std::string field_error(std::string_view what, std::string_view key) {
  return std::string(what) + " `" + std::string(key) + "`";
}

bool is_optional(const FieldTarget& target) {
  return std::holds_alternative<std::optional<std::uint64_t>*>(target) ||
         std::holds_alternative<std::optional<std::string>*>(target);
}

// Stores `value` into `target` when the types agree.
Expected<void> assign(Value& value, const FieldTarget& target, std::string_view key) {
  using Kind = Value::Kind;
  bool ok = std::visit(
      [&](auto* out) -> bool {
        using T = std::remove_pointer_t<decltype(out)>;
        if constexpr (std::is_same_v<T, std::string>) {
          if (value.kind != Kind::String) return false;
          *out = std::move(value.text);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          if (value.kind != Kind::Unsigned) return false;
          *out = value.number;
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
          if (value.kind != Kind::Unsigned || value.number > 0xFFFFFFFFu) return false;
          *out = static_cast<std::uint32_t>(value.number);
        } else if constexpr (std::is_same_v<T, bool>) {
          if (value.kind != Kind::Bool) return false;
          *out = value.boolean;
        } else if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) {
          if (value.kind == Kind::Null) {
            out->reset();
          } else if (value.kind == Kind::Unsigned) {
            *out = value.number;
          } else {
            return false;
          }
        } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
          if (value.kind == Kind::Null) {
            out->reset();
          } else if (value.kind == Kind::String) {
            *out = std::move(value.text);
          } else {
            return false;
          }
        } else {
          if (value.kind != Kind::StringArray) return false;
          *out = std::move(value.strings);
        }
        return true;
      },
      target);
  if (ok) return {};
  return std::unexpected("invalid type for `" + std::string(key) + "`: expected " +
                         std::string(kind_name(target)));
}

}  // namespace

Expected<Document> parse_document(std::string_view bytes) {
  boost::json::parse_options options;
  options.max_depth = 128;
  boost::json::basic_parser<FlatHandler> parser(options);
  error_code ec;
  std::size_t consumed = parser.write_some(false, bytes.data(), bytes.size(), ec);
  if (ec) return std::unexpected(located(ec.message(), bytes, consumed));
  for (std::size_t i = consumed; i < bytes.size(); ++i) {
    if (!is_json_space(bytes[i])) return std::unexpected(located("trailing characters", bytes, i));
  }
  if (!parser.handler().saw_container) {
    return std::unexpected(located("expected an object", bytes, 0));
  }
  return std::move(parser.handler().document);
}

Expected<void> bind_object(std::span<Member> members, std::span<const Field> fields,
                           std::string_view skip_key) {
  std::vector<bool> seen(fields.size(), false);
  for (Member& member : members) {
    if (!skip_key.empty() && member.key == skip_key) continue;
    std::size_t index = 0;
    while (index < fields.size() && fields[index].key != member.key) ++index;
    if (index == fields.size()) return std::unexpected(field_error("unknown field", member.key));
    if (seen[index]) return std::unexpected(field_error("duplicate field", member.key));
    seen[index] = true;
    VARQUIN_RETURN_IF_ERROR(assign(member.value, fields[index].target, member.key));
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!seen[i] && !is_optional(fields[i].target)) {
      return std::unexpected(field_error("missing field", fields[i].key));
    }
  }
  return {};
}

Expected<void> bind_array(std::span<Member> elements, std::span<const Field> fields) {
  if (elements.size() != fields.size()) {
    return std::unexpected("expected " + std::to_string(fields.size()) + " elements, found " +
                           std::to_string(elements.size()));
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    VARQUIN_RETURN_IF_ERROR(assign(elements[i].value, fields[i].target, fields[i].key));
  }
  return {};
}

Expected<void> read_object(std::string_view bytes, std::span<const Field> fields) {
  VARQUIN_ASSIGN_OR_RETURN(auto document, parse_document(bytes));
  if (document.is_array) return std::unexpected(std::string("expected an object, found an array"));
  return bind_object(document.members, fields);
}

}  // namespace varquin::json
