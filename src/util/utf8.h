#pragma once

#include <string>
#include <string_view>

namespace varquin::util {

// Well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Each ill-formed sequence becomes U+FFFD, as lossy decoders do.
std::string utf8_lossy(std::string_view bytes);

}  // namespace varquin::util
