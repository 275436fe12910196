#include "util/utf8.h"

#include <cstdint>
#include <string>

namespace varquin::util {

namespace {

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed. `maximal` receives the
// length of the maximal ill-formed prefix to replace (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& maximal) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  std::uint8_t lead = byte(i);
  maximal = 1;
  if (lead < 0x80) return 1;
  std::size_t need;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) return 0;
    std::uint8_t next = byte(i + k);
    std::uint8_t lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
    if (next < lo || next > hi) return 0;
    maximal = k + 1;
  }
  return need;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0, maximal = 0;
  while (i < text.size()) {
    std::size_t length = sequence_length(text, i, maximal);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0, maximal = 0;
  while (i < bytes.size()) {
    std::size_t length = sequence_length(bytes, i, maximal);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      i += maximal;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace varquin::util
