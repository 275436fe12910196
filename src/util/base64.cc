#include "util/base64.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARQUIN_BASE64_AVX2 1
#include <immintrin.h>
#endif

namespace varquin::util {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One table per position in a quad, holding the symbol's six bits already placed where they land
// in the three output bytes, read as a little-endian 32-bit word: a quad decodes with four
// look-ups, three ORs and one 4-byte store whose spare fourth byte the next quad overwrites.
// Bytes outside the alphabet set bit 31 in every table: ORed across the whole text, it reports
// any of them at once.
constexpr std::uint32_t kInvalidBit = 0x8000'0000u;
using Table = std::array<std::uint32_t, 256>;

template <typename Place>
constexpr Table make_table(Place place) {
  Table table{};
  table.fill(kInvalidBit);
  for (std::uint32_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = place(i);
  return table;
}

// Output bytes: b0 = a << 2 | b >> 4, b1 = (b & 15) << 4 | c >> 2, b2 = (c & 3) << 6 | d.
constexpr Table kFirst = make_table([](std::uint32_t v) { return v << 2; });
constexpr Table kSecond = make_table([](std::uint32_t v) { return v >> 4 | (v & 0x0F) << 12; });
constexpr Table kThird =
    make_table([](std::uint32_t v) { return (v >> 2) << 8 | (v & 0x03) << 22; });
constexpr Table kFourth = make_table([](std::uint32_t v) { return v << 16; });

// The three bytes of a quad in the low 24 bits of a little-endian word (bit 31: invalid).
inline std::uint32_t group(const char* quad) {
  return kFirst[static_cast<unsigned char>(quad[0])] |
         kSecond[static_cast<unsigned char>(quad[1])] |
         kThird[static_cast<unsigned char>(quad[2])] | kFourth[static_cast<unsigned char>(quad[3])];
}

inline void store3(std::uint8_t* dest, std::uint32_t v) {
  dest[0] = static_cast<std::uint8_t>(v);
  dest[1] = static_cast<std::uint8_t>(v >> 8);
  dest[2] = static_cast<std::uint8_t>(v >> 16);
}

// Four bytes, the fourth spare: only where the output goes on after these three.
inline void store4(std::uint8_t* dest, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dest, &v, 4);
  } else {
    store3(dest, v);
  }
}

inline std::uint8_t sextet(char c) {
  std::uint32_t v = kFourth[static_cast<unsigned char>(c)];
  return v & kInvalidBit ? 0xFF : static_cast<std::uint8_t>(v >> 16);
}

// The last quad, the only one that may carry padding. Returns the bytes written, or none.
std::optional<std::size_t> decode_last_quad(const char* src, std::uint8_t* dest) {
  const std::uint8_t a = sextet(src[0]), b = sextet(src[1]);
  if ((a | b) & 0x80) return std::nullopt;
  if (src[3] != '=') {
    const std::uint32_t v = group(src);
    if (v & kInvalidBit) return std::nullopt;
    store3(dest, v);
    return 3;
  }
  if (src[2] != '=') {
    const std::uint8_t c = sextet(src[2]);
    // Two bytes: the last sextet's two low bits must be zero.
    if ((c & 0x80) || (c & 0x03) != 0) return std::nullopt;
    dest[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
    dest[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    return 2;
  }
  // One byte: the second sextet's four low bits must be zero.
  if ((b & 0x0F) != 0) return std::nullopt;
  dest[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
  return 1;
}

#if defined(VARQUIN_BASE64_AVX2)

// 32 symbols at a time with AVX2, after Muła and Lemire ("Faster Base64 encoding and decoding
// using AVX2 instructions", 2018): two nibble look-ups classify every byte (a byte is in the
// alphabet exactly when the two looked-up masks share no bit), a third gives the offset that
// turns it into its six bits, and two multiply-adds pack four sextets into three bytes. Each step
// stores 32 bytes of which 24 are output, so it runs only while later quads will overwrite the
// spare 8. Returns the quads decoded: it stops before the first block that holds a byte outside
// the alphabet and leaves that block to the scalar loop, which reports it.
__attribute__((target("avx2"))) std::size_t decode_quads_avx2(const char* src, std::size_t quads,
                                                              std::uint8_t* dest) {
  const __m256i lut_lo =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i lut_hi =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i lut_roll =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask_2f = _mm256_set1_epi8(0x2F);
  const __m256i pack_pairs = _mm256_set1_epi32(0x01400140);
  const __m256i pack_quads = _mm256_set1_epi32(0x00011000);
  const __m256i gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                          1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i compact = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

  constexpr std::size_t kBlockQuads = 8;
  // Three quads after the block give the 9 output bytes that absorb the 8 spare ones.
  constexpr std::size_t kReserveQuads = 3;
  std::size_t done = 0;
  for (; done + kBlockQuads + kReserveQuads <= quads; done += kBlockQuads) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done * 4));
    const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask_2f);
    const __m256i lo_nibbles = _mm256_and_si256(text, mask_2f);
    const __m256i lo = _mm256_shuffle_epi8(lut_lo, lo_nibbles);
    const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
    if (!_mm256_testz_si256(lo, hi)) break;
    const __m256i is_slash = _mm256_cmpeq_epi8(text, mask_2f);
    const __m256i roll = _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(is_slash, hi_nibbles));
    const __m256i sextets = _mm256_add_epi8(text, roll);
    const __m256i pairs = _mm256_maddubs_epi16(sextets, pack_pairs);
    const __m256i groups = _mm256_madd_epi16(pairs, pack_quads);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, gather), compact);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + done * 3), bytes);
  }
  return done;
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

#endif

}  // namespace

std::string encode_base64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::size_t decoded_base64_size(std::string_view text) {
  if (text.size() < 4) return 0;
  std::size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  return text.size() / 4 * 3 - padding;
}

std::optional<std::size_t> decode_base64_into(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  const std::size_t full_quads = text.size() / 4 - 1;
  const char* src = text.data();
  std::uint8_t* dest = out.data();

  // Every quad but the last has no padding, and the last writes at least one byte: the full quads
  // can store four bytes each. Validity is checked once at the end rather than per quad: the loop
  // has no branch but its own, and on failure the output is discarded anyway.
  std::uint32_t seen = 0;
  std::size_t q = 0;
#if defined(VARQUIN_BASE64_AVX2)
  if (cpu_has_avx2()) {
    q = decode_quads_avx2(src, full_quads, dest);
    src += q * 4;
    dest += q * 3;
  }
#endif
  for (; q + 2 <= full_quads; q += 2, src += 8, dest += 6) {
    const std::uint32_t first = group(src), second = group(src + 4);
    seen |= first | second;
    store4(dest, first);
    store4(dest + 3, second);
  }
  for (; q < full_quads; ++q, src += 4, dest += 3) {
    const std::uint32_t v = group(src);
    seen |= v;
    store4(dest, v);
  }
  if (seen & kInvalidBit) return std::nullopt;
  auto last = decode_last_quad(src, dest);
  if (!last) return std::nullopt;
  return full_quads * 3 + *last;
}

bool decode_base64_append(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.size() % 4 != 0) return false;
  const std::size_t original = out.size();
  out.resize(original + decoded_base64_size(text));
  auto written = decode_base64_into(text, std::span(out).subspan(original));
  if (!written) {
    out.resize(original);
    return false;
  }
  return true;
}

}  // namespace varquin::util
