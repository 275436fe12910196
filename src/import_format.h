// The format tag and the source that every request and every record of a browser import carries:
// shared by the wire protocol and the store, which know nothing else of each other.
#pragma once

#include <string_view>

namespace varquin {

inline constexpr std::string_view kImportSchema = "varquin.browser-import.v1";
inline constexpr std::string_view kGmailSource = "gmail";

}  // namespace varquin
