// The rule for attachment names: NFC, 1 to 255 bytes, no control characters, "/" or "\", and a
// supported extension.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace varquin::staging {

// NFC; 1 to 255 bytes; no control characters, "/" or "\"; extension csv, dta or xlsx (any case).
Result<std::string> normalize_original_name(std::string_view name);

}  // namespace varquin::staging
