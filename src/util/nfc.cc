#include "util/nfc.h"

#include <utf8proc.h>

#include <cstdlib>

namespace varquin::util {

std::optional<std::string> to_nfc(std::string_view text) {
  utf8proc_uint8_t* composed = nullptr;
  // utf8proc_map rather than utf8proc_NFC: it takes a length, so embedded NUL bytes survive.
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::nullopt;
  std::string result(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
  std::free(composed);
  return result;
}

}  // namespace varquin::util
