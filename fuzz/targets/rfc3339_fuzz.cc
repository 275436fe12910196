// The RFC 3339 parser behind expiry. Acceptance and the instant are compared with a reference
// written here over std::chrono's civil calendar; an accepted value whose instant has a four-digit
// year formats (in both written forms, with the fraction digits each promises) to text that parses
// back to the same instant; whole_seconds_between truncates toward zero.
//
// Input: 12 bytes making an instant for the formatting round trip, then the text to parse.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/check.h"
#include "support/input.h"
#include "util/rfc3339.h"

namespace {

using namespace varquin;
using namespace varquin::fuzz;
using util::Instant;

// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z: the years four digits can write.
constexpr std::int64_t kFirstSecond = -62167219200;
constexpr std::int64_t kLastSecond = 253402300799;

struct Reader {
  std::string_view text;
  std::size_t pos = 0;

  std::optional<int> number(std::size_t digits) {
    if (pos + digits > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      char c = text[pos + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    pos += digits;
    return value;
  }
  bool take(std::string_view options) {
    if (pos < text.size() && options.find(text[pos]) != std::string_view::npos) {
      ++pos;
      return true;
    }
    return false;
  }
};

// date-time = full-date ("T" / "t" / " ") partial-time ("Z" / "z" / ("+" / "-") hh ":" mm), with
// the ranges of the grammar, a day that exists in its month, and second 60 taken as a leap second
// (which counts as the first second of the next minute).
std::optional<Instant> reference_parse(std::string_view text) {
  namespace chr = std::chrono;
  Reader in{text};
  auto year = in.number(4);
  if (!year || !in.take("-")) return std::nullopt;
  auto month = in.number(2);
  if (!month || !in.take("-")) return std::nullopt;
  auto day = in.number(2);
  if (!day || !in.take("Tt ")) return std::nullopt;
  chr::year_month_day date{chr::year(*year), chr::month(static_cast<unsigned>(*month)),
                           chr::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  auto hour = in.number(2);
  if (!hour || *hour > 23 || !in.take(":")) return std::nullopt;
  auto minute = in.number(2);
  if (!minute || *minute > 59 || !in.take(":")) return std::nullopt;
  auto second = in.number(2);
  if (!second || *second > 60) return std::nullopt;
  std::uint32_t nanos = 0;
  if (in.take(".")) {
    std::size_t digits = 0;
    std::uint32_t scale = 100'000'000;
    while (auto digit = in.number(1)) {
      nanos += static_cast<std::uint32_t>(*digit) * scale;
      scale /= 10;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (!in.take("Zz")) {
    bool negative = in.pos < text.size() && text[in.pos] == '-';
    if (!in.take("+-")) return std::nullopt;
    auto off_hour = in.number(2);
    if (!off_hour || *off_hour > 23 || !in.take(":")) return std::nullopt;
    auto off_minute = in.number(2);
    if (!off_minute || *off_minute > 59) return std::nullopt;
    offset = (*off_hour * 60 + *off_minute) * 60 * (negative ? -1 : 1);
  }
  if (in.pos != text.size()) return std::nullopt;
  auto local = chr::sys_days(date) + chr::hours(*hour) + chr::minutes(*minute) +
               chr::seconds(*second) - chr::seconds(offset);
  return Instant{local.time_since_epoch().count(), nanos};
}

bool same(const Instant& a, const Instant& b) {
  return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
}

bool writable(const Instant& instant) {
  return instant.seconds >= kFirstSecond && instant.seconds <= kLastSecond;
}

void check_written_forms(const Instant& instant) {
  std::string offset_form = util::format_rfc3339_offset(instant);
  auto back = util::parse_rfc3339(offset_form);
  FUZZ_CHECK_MSG(back && same(*back, instant), offset_form);
  FUZZ_CHECK(offset_form.ends_with("+00:00"));
  // The fraction has 0, 3, 6 or 9 digits, the fewest that are exact.
  std::size_t dot = offset_form.find('.');
  std::size_t digits = dot == std::string::npos ? 0 : offset_form.size() - 6 - dot - 1;
  std::uint32_t ns = instant.nanoseconds;
  std::size_t fewest = ns == 0 ? 0 : ns % 1'000'000 == 0 ? 3 : ns % 1'000 == 0 ? 6 : 9;
  FUZZ_CHECK_MSG(digits == fewest, offset_form);

  std::string millis_form = util::format_rfc3339_millis_z(instant);
  auto millis = util::parse_rfc3339(millis_form);
  FUZZ_CHECK_MSG(millis && millis->seconds == instant.seconds &&
                     millis->nanoseconds == instant.nanoseconds / 1'000'000 * 1'000'000,
                 millis_form);
  FUZZ_CHECK(millis_form.size() == 24 && millis_form.ends_with('Z'));
}

// Wide enough for any difference of two instants in nanoseconds (both compilers have it).
__extension__ typedef __int128 WideNanos;

void check_whole_seconds(const Instant& from, const Instant& to) {
  WideNanos nanos = (static_cast<WideNanos>(to.seconds) - from.seconds) * 1'000'000'000 +
                    (static_cast<WideNanos>(to.nanoseconds) - from.nanoseconds);
  auto expected = static_cast<std::int64_t>(nanos / 1'000'000'000);  // C++ truncates toward zero
  FUZZ_CHECK(util::whole_seconds_between(from, to) == expected);
  FUZZ_CHECK(util::whole_seconds_between(to, from) == -expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputCursor input(data, size);
  const std::uint64_t span = static_cast<std::uint64_t>(kLastSecond - kFirstSecond) + 1;
  Instant made{kFirstSecond + static_cast<std::int64_t>(input.u64() % span),
               input.u32() % 1'000'000'000u};
  std::string_view text = input.rest();

  check_written_forms(made);

  auto parsed = util::parse_rfc3339(text);
  auto expected = reference_parse(text);
  FUZZ_CHECK_MSG(parsed.has_value() == expected.has_value(), text);
  if (!parsed) return 0;
  FUZZ_CHECK_MSG(same(*parsed, *expected), text);
  FUZZ_CHECK(parsed->nanoseconds < 1'000'000'000u);
  check_whole_seconds(made, *parsed);
  // Outside the four-digit years the written forms cannot hold the instant: nothing to compare.
  if (!writable(*parsed)) return 0;
  check_written_forms(*parsed);
  return 0;
}
