#include "util/rfc3339.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace varquin::util {
namespace {

constexpr std::int64_t k2026_01_31T08_15_02 = 1769847302;
constexpr std::int64_t k2000_02_29T23_59_59 = 951868799;

TEST(Rfc3339, FormatsTheFewestFractionDigitsWithNumericOffset) {
  const std::vector<std::pair<Instant, std::string>> cases = {
      {{k2026_01_31T08_15_02, 0}, "2026-01-31T08:15:02+00:00"},
      {{k2026_01_31T08_15_02, 47'000'000}, "2026-01-31T08:15:02.047+00:00"},
      {{k2026_01_31T08_15_02, 100'000'000}, "2026-01-31T08:15:02.100+00:00"},
      {{k2026_01_31T08_15_02, 47'100'000}, "2026-01-31T08:15:02.047100+00:00"},
      {{k2026_01_31T08_15_02, 1'000}, "2026-01-31T08:15:02.000001+00:00"},
      {{k2026_01_31T08_15_02, 47'100'001}, "2026-01-31T08:15:02.047100001+00:00"},
      {{k2026_01_31T08_15_02, 1}, "2026-01-31T08:15:02.000000001+00:00"},
      {{0, 0}, "1970-01-01T00:00:00+00:00"},
      {{-1, 0}, "1969-12-31T23:59:59+00:00"},
      {{k2000_02_29T23_59_59, 999'999'999}, "2000-02-29T23:59:59.999999999+00:00"},
  };
  for (const auto& [instant, text] : cases) {
    EXPECT_EQ(format_rfc3339_offset(instant), text);
    auto parsed = parse_rfc3339(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->seconds, instant.seconds) << text;
    EXPECT_EQ(parsed->nanoseconds, instant.nanoseconds) << text;
  }
}

TEST(Rfc3339, FormatsTruncatedMillisecondsWithZ) {
  const std::vector<std::pair<Instant, std::string>> cases = {
      {{k2026_01_31T08_15_02, 0}, "2026-01-31T08:15:02.000Z"},
      {{k2026_01_31T08_15_02, 47'999'999}, "2026-01-31T08:15:02.047Z"},
      {{k2026_01_31T08_15_02, 999'999'999}, "2026-01-31T08:15:02.999Z"},
      {{k2000_02_29T23_59_59, 1'000'000}, "2000-02-29T23:59:59.001Z"},
  };
  for (const auto& [instant, text] : cases) EXPECT_EQ(format_rfc3339_millis_z(instant), text);
}

TEST(Rfc3339, ParsesOffsetsAndFractions) {
  const std::vector<std::pair<std::string, Instant>> cases = {
      {"2026-01-31T08:15:02Z", {k2026_01_31T08_15_02, 0}},
      {"2026-01-31t08:15:02z", {k2026_01_31T08_15_02, 0}},
      {"2026-01-31T10:15:02.5+02:00", {k2026_01_31T08_15_02, 500'000'000}},
      {"2026-01-31T03:45:02.047-04:30", {k2026_01_31T08_15_02, 47'000'000}},
      {"2026-01-31T08:15:02.123456789123Z", {k2026_01_31T08_15_02, 123'456'789}},
      {"2026-01-31T08:15:02+23:59", {k2026_01_31T08_15_02 - 23 * 3600 - 59 * 60, 0}},
      {"2026-01-31T08:15:02-00:00", {k2026_01_31T08_15_02, 0}},
      {"2026-01-31 08:15:02Z", {k2026_01_31T08_15_02, 0}},
  };
  for (const auto& [text, instant] : cases) {
    auto parsed = parse_rfc3339(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->seconds, instant.seconds) << text;
    EXPECT_EQ(parsed->nanoseconds, instant.nanoseconds) << text;
  }
}

TEST(Rfc3339, RefusesMalformedDateTimes) {
  const std::vector<std::string> refused = {
      "",
      "2026-01-31",
      "2026-01-31T08:15:02",  // no offset
      "2026-01-31T08:15Z",
      "2026-1-31T08:15:02Z",
      "2026-13-01T00:00:00Z",
      "2026-00-01T00:00:00Z",
      "2026-02-29T00:00:00Z",  // not a leap year
      "1900-02-29T00:00:00Z",
      "2026-04-31T00:00:00Z",
      "2026-01-00T00:00:00Z",
      "2026-01-31T24:00:00Z",
      "2026-01-31T08:60:00Z",
      "2026-01-31T08:15:61Z",
      "2026-01-31T08:15:02.Z",
      "2026-01-31T08:15:02+0000",
      "2026-01-31T08:15:02+00",
      "2026-01-31T08:15:02+24:00",
      "2026-01-31T08:15:02+00:60",
      "2026-01-31T08:15:02Z ",
      "2026-01-31T08:15:02ZZ",
      "2026-01-31X08:15:02Z",
      "+2026-01-31T08:15:02Z",
  };
  for (const std::string& text : refused) EXPECT_FALSE(parse_rfc3339(text)) << text;
}

TEST(Rfc3339, WholeSecondsBetweenTruncatesTowardZero) {
  struct Case {
    Instant from, to;
    std::int64_t seconds;
  };
  const std::vector<Case> cases = {
      {{0, 0}, {10, 0}, 10},
      {{5, 5}, {5, 5}, 0},
      {{0, 900'000'000}, {1, 100'000'000}, 0},
      {{1, 100'000'000}, {0, 900'000'000}, 0},
      {{0, 500'000'000}, {604'800, 499'999'999}, 604'799},
      {{0, 500'000'000}, {604'800, 500'000'000}, 604'800},
      {{10, 0}, {0, 1}, -9},
      {{10, 1}, {0, 0}, -10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(whole_seconds_between(c.from, c.to), c.seconds)
        << c.from.seconds << "." << c.from.nanoseconds << " -> " << c.to.seconds << "."
        << c.to.nanoseconds;
  }
}

}  // namespace
}  // namespace varquin::util
