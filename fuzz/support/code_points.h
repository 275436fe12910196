// An independent strict UTF-8 decoder for the targets' own checks, so that the product's
// validator and normaliser are compared with something they do not share code with.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace varquin::fuzz {

// The code points of well-formed UTF-8; none for overlong forms, surrogates, values above
// U+10FFFF, stray continuation bytes and truncated sequences.
std::optional<std::vector<char32_t>> decode_utf8(std::string_view text);

}  // namespace varquin::fuzz
