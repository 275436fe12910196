#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varquin::util {

// Unicode Normalization Form C (utf8proc); none when the input is not valid UTF-8.
std::optional<std::string> to_nfc(std::string_view text);

}  // namespace varquin::util
