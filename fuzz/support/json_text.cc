#include "support/json_text.h"

#include <cstdio>

#include "support/check.h"
#include "support/code_points.h"

namespace varquin::fuzz {

namespace {

constexpr std::string_view kSpaces[] = {"", " ", "\n", "\t", "\r\n  ", "  \t"};

std::string_view pick_space(Choices& choices) {
  return kSpaces[choices.below(std::size(kSpaces))];
}

void append_unit(std::string& out, char32_t unit) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(unit));
  out += text;
}

void append_escaped(std::string& out, char32_t point) {
  if (point > 0xFFFF) {
    char32_t offset = point - 0x10000;
    append_unit(out, 0xD800 + (offset >> 10));
    append_unit(out, 0xDC00 + (offset & 0x3FF));
  } else {
    append_unit(out, point);
  }
}

void append_utf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

}  // namespace

std::string quote(std::string_view utf8, Escape escape) {
  auto points = decode_utf8(utf8);
  FUZZ_CHECK_MSG(points.has_value(), "a parsed string is not well-formed UTF-8");
  std::string out = "\"";
  for (char32_t point : *points) {
    if (escape == Escape::Everything || (escape == Escape::NonAscii && point >= 0x80)) {
      append_escaped(out, point);
    } else if (point == '"') {
      out += "\\\"";
    } else if (point == '\\') {
      out += "\\\\";
    } else if (point < 0x20) {
      append_unit(out, point);
    } else {
      append_utf8(out, point);
    }
  }
  out += '"';
  return out;
}

std::string object_text(std::vector<WireField> fields, Choices& choices, bool shuffle) {
  if (shuffle) {
    for (std::size_t i = fields.size(); i > 1; --i)
      std::swap(fields[i - 1], fields[choices.below(i)]);
  }
  std::string out(pick_space(choices));
  out += '{';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += pick_space(choices);
    out += quote(fields[i].key, pick_escape(choices));
    out += pick_space(choices);
    out += ':';
    out += pick_space(choices);
    out += fields[i].json;
    out += pick_space(choices);
  }
  out += '}';
  out += pick_space(choices);
  return out;
}

std::string array_text(std::span<const std::string> values, Choices& choices) {
  std::string out(pick_space(choices));
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += pick_space(choices);
    out += values[i];
    out += pick_space(choices);
  }
  out += ']';
  out += pick_space(choices);
  return out;
}

Escape pick_escape(Choices& choices) {
  // Mostly the plain spelling, which is what real peers send.
  std::size_t pick = choices.below(4);
  return pick == 0 ? Escape::NonAscii : pick == 1 ? Escape::Everything : Escape::Minimal;
}

}  // namespace varquin::fuzz
