// Writes JSON documents for the targets' round trips with the harness's own code, in the many
// spellings the format allows (escapes, white space, key order), so that a parser that depends on
// one spelling is caught.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/input.h"

namespace varquin::fuzz {

enum class Escape {
  Minimal,    // only what must be escaped: quote, backslash, control characters
  NonAscii,   // also every non-ASCII code point as \uXXXX (surrogate pairs above U+FFFF)
  Everything  // every code point as \uXXXX
};

// A JSON string literal for `utf8` (which must be well-formed UTF-8).
std::string quote(std::string_view utf8, Escape escape);

struct WireField {
  std::string key;
  std::string json;  // the value, already JSON text
};

// One spelling of the object, chosen by `choices`: member order, white space and escaping of the
// keys. Members are written in the order given when `shuffle` is false.
std::string object_text(std::vector<WireField> fields, Choices& choices, bool shuffle = true);

// An array of the given JSON values with white space chosen by `choices`.
std::string array_text(std::span<const std::string> values, Choices& choices);

Escape pick_escape(Choices& choices);

}  // namespace varquin::fuzz
