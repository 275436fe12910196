#include "staging/attachment_name.h"

#include "util/nfc.h"

namespace varquin::staging {

namespace {

constexpr std::size_t kMaxNameBytes = 255;

// C0 controls, DEL, C1 controls (U+0080 to U+009F, "\xC2\x80" to "\xC2\x9F" in valid UTF-8) and
// both path separators.
bool has_forbidden_character(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '\\') return true;
    if (byte == 0xC2 && i + 1 < name.size()) {
      auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

bool has_supported_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  // No "." or only a leading one: no extension at all.
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension == "csv" || extension == "dta" || extension == "xlsx";
}

}  // namespace

Result<std::string> normalize_original_name(std::string_view name) {
  auto normalized = util::to_nfc(name);
  if (!normalized || normalized->empty() || *normalized == "." || *normalized == ".." ||
      normalized->size() > kMaxNameBytes || has_forbidden_character(*normalized)) {
    return fail("The attachment filename is invalid", ErrorCode::InvalidFile);
  }
  if (!has_supported_extension(*normalized)) {
    return fail("The attachment type is not supported", ErrorCode::InvalidFile);
  }
  return std::move(*normalized);
}

}  // namespace varquin::staging
