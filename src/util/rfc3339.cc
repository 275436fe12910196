#include "util/rfc3339.h"

#include <cstdio>

namespace varquin::util {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return Civil{y + (m <= 2), m, d};
}

std::string format_seconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  Civil date = civil_from_days(days);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                static_cast<long long>(date.year), date.month, date.day,
                static_cast<long long>(rem / 3600), static_cast<long long>(rem / 60 % 60),
                static_cast<long long>(rem % 60));
  return text;
}

bool is_leap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned days_in_month(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  std::optional<unsigned> digits(std::size_t count) {
    if (pos_ + count > text_.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      char c = text_[pos_ + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos_ += count;
    return value;
  }
  bool literal(char expected) {
    return accept([&](char c) { return c == expected; });
  }
  template <typename Pred>
  bool accept(Pred pred) {
    if (pos_ < text_.size() && pred(text_[pos_])) {
      ++pos_;
      return true;
    }
    return false;
  }
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool done() const { return pos_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string format_rfc3339_offset(Instant instant) {
  std::string text = format_seconds(instant.seconds);
  std::uint32_t ns = instant.nanoseconds;
  char fraction[16] = "";
  if (ns % 1000000 == 0 && ns != 0) {
    std::snprintf(fraction, sizeof fraction, ".%03u", ns / 1000000);
  } else if (ns % 1000 == 0 && ns != 0) {
    std::snprintf(fraction, sizeof fraction, ".%06u", ns / 1000);
  } else if (ns != 0) {
    std::snprintf(fraction, sizeof fraction, ".%09u", ns);
  }
  return text + fraction + "+00:00";
}

std::string format_rfc3339_millis_z(Instant instant) {
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%03uZ", instant.nanoseconds / 1000000);
  return format_seconds(instant.seconds) + fraction;
}

std::optional<Instant> parse_rfc3339(std::string_view text) {
  Cursor in(text);
  auto year = in.digits(4);
  if (!year || !in.literal('-')) return std::nullopt;
  auto month = in.digits(2);
  if (!month || *month < 1 || *month > 12 || !in.literal('-')) return std::nullopt;
  auto day = in.digits(2);
  if (!day || *day < 1 || *day > days_in_month(*year, *month)) return std::nullopt;
  if (!in.accept([](char c) { return c == 'T' || c == 't' || c == ' '; })) return std::nullopt;
  auto hour = in.digits(2);
  if (!hour || *hour > 23 || !in.literal(':')) return std::nullopt;
  auto minute = in.digits(2);
  if (!minute || *minute > 59 || !in.literal(':')) return std::nullopt;
  auto second = in.digits(2);
  if (!second || *second > 60) return std::nullopt;  // 60: a leap second

  std::uint32_t nanos = 0;
  if (in.literal('.')) {
    std::size_t count = 0;
    while (in.peek() >= '0' && in.peek() <= '9') {
      unsigned digit = *in.digits(1);
      if (count < 9) nanos = nanos * 10 + digit;
      ++count;
    }
    if (count == 0) return std::nullopt;
    for (std::size_t i = count; i < 9; ++i) nanos *= 10;
  }

  std::int64_t offset_seconds = 0;
  if (!in.accept([](char c) { return c == 'Z' || c == 'z'; })) {
    char sign = in.peek();
    if (sign != '+' && sign != '-') return std::nullopt;
    in.literal(sign);
    auto off_hour = in.digits(2);
    if (!off_hour || *off_hour > 23 || !in.literal(':')) return std::nullopt;
    auto off_minute = in.digits(2);
    if (!off_minute || *off_minute > 59) return std::nullopt;
    // Signed arithmetic: the digits are unsigned, and a negative offset must not wrap.
    offset_seconds = static_cast<std::int64_t>(*off_hour * 3600 + *off_minute * 60);
    if (sign == '-') offset_seconds = -offset_seconds;
  }
  if (!in.done()) return std::nullopt;

  std::int64_t seconds = days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 +
                         *minute * 60 + *second - offset_seconds;
  return Instant{seconds, nanos};
}

std::int64_t whole_seconds_between(Instant from, Instant to) {
  std::int64_t nanos_diff =
      static_cast<std::int64_t>(to.nanoseconds) - static_cast<std::int64_t>(from.nanoseconds);
  std::int64_t seconds = to.seconds - from.seconds;
  // Bring the two parts to the same sign, then truncate toward zero.
  if (seconds > 0 && nanos_diff < 0) {
    --seconds;
  } else if (seconds < 0 && nanos_diff > 0) {
    ++seconds;
  }
  return seconds;
}

}  // namespace varquin::util
