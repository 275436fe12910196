// The attachment-name rule. The outcome must be exactly what the rule gives when written out over
// code points here (valid UTF-8; NFC; 1 to 255 bytes; not "." or ".."; no C0, DEL or C1 control,
// "/" or "\"; extension csv, dta or xlsx in any ASCII case, after a non-empty stem), with the
// rule's two messages; an accepted name is its own normal form, is accepted again unchanged, and is
// well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "staging/attachment_name.h"
#include "support/check.h"
#include "support/code_points.h"
#include "util/nfc.h"
#include "util/utf8.h"

namespace {

using namespace varquin;
using namespace varquin::fuzz;

constexpr std::string_view kInvalid = "The attachment filename is invalid";
constexpr std::string_view kUnsupported = "The attachment type is not supported";

bool forbidden(char32_t point) {
  return point <= 0x1F || (point >= 0x7F && point <= 0x9F) || point == '/' || point == '\\';
}

bool supported_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  return extension == "csv" || extension == "dta" || extension == "xlsx";
}

// The rule's verdict: none for acceptance, else the message.
std::optional<std::string_view> expected_fault(std::string_view normalized) {
  auto points = decode_utf8(normalized);
  FUZZ_CHECK(points.has_value());
  if (normalized.empty() || normalized == "." || normalized == ".." || normalized.size() > 255) {
    return kInvalid;
  }
  for (char32_t point : *points) {
    if (forbidden(point)) return kInvalid;
  }
  if (!supported_extension(normalized)) return kUnsupported;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view name(reinterpret_cast<const char*>(data), size);
  const bool well_formed = decode_utf8(name).has_value();
  // Three views of well-formed UTF-8 must agree: the harness's, the product's and the normaliser's.
  FUZZ_CHECK(util::is_valid_utf8(name) == well_formed);
  auto nfc = util::to_nfc(name);
  FUZZ_CHECK(nfc.has_value() == well_formed);

  auto result = staging::normalize_original_name(name);
  std::optional<std::string_view> fault = nfc ? expected_fault(*nfc) : kInvalid;
  if (fault) {
    FUZZ_CHECK(!result);
    FUZZ_CHECK_MSG(result.error().message == *fault, result.error().message);
    FUZZ_CHECK(result.error().code == ErrorCode::InvalidFile && !result.error().retryable());
    return 0;
  }
  FUZZ_CHECK(result.has_value());
  const std::string& normalized = *result;
  FUZZ_CHECK(normalized == *nfc);
  FUZZ_CHECK(util::to_nfc(normalized) == normalized);
  auto again = staging::normalize_original_name(normalized);
  FUZZ_CHECK(again && *again == normalized);
  FUZZ_CHECK(!normalized.empty() && normalized.size() <= 255);
  FUZZ_CHECK(decode_utf8(normalized).has_value());
  return 0;
}
