#include "util/uuid.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace varquin::util {
namespace {

constexpr Uuid kExample = {0x0f, 0x8f, 0xad, 0x5b, 0xd9, 0xcb, 0x46, 0x9f,
                           0xa1, 0x65, 0x70, 0x86, 0x77, 0x28, 0x95, 0x0e};

TEST(Uuid, ParsesTheFourStandardForms) {
  for (const std::string text : {
           "0f8fad5b-d9cb-469f-a165-70867728950e",
           "0F8FAD5B-D9CB-469F-A165-70867728950E",
           "0f8FAD5b-d9cb-469F-a165-70867728950E",
           "0f8fad5bd9cb469fa16570867728950e",
           "{0f8fad5b-d9cb-469f-a165-70867728950e}",
           "urn:uuid:0f8fad5b-d9cb-469f-a165-70867728950e",
       }) {
    auto parsed = parse_uuid(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, kExample) << text;
  }
}

TEST(Uuid, RefusesOtherText) {
  for (const std::string text : {
           "",
           "0f8fad5b-d9cb-469f-a165-70867728950",    // 35
           "0f8fad5b-d9cb-469f-a165-70867728950e0",  // 37
           "0f8fad5bd-9cb-469f-a165-70867728950e",   // hyphen moved
           "0f8fad5b-d9cb-469f-a165-70867728950g",
           "0f8fad5b d9cb 469f a165 70867728950e",
           "0f8fad5b-d9cb-469f-a165-70867728950e"
           "\n",
           "0f8fad5bd9cb469fa16570867728950-",
           "0f8fad5b-d9cb-469fa165-70867728950ee",
           "{0f8fad5b-d9cb-469f-a165-70867728950e)",
           "(0f8fad5b-d9cb-469f-a165-70867728950e}",
           "urn:uid:-0f8fad5b-d9cb-469f-a165-70867728950e",
           "urn:uuid:0f8fad5bd9cb469fa16570867728950e",
           "../etc",
       }) {
    EXPECT_FALSE(parse_uuid(text)) << text;
  }
}

TEST(Uuid, FormatsInLowerCase) {
  EXPECT_EQ(format_uuid_hyphenated(kExample), "0f8fad5b-d9cb-469f-a165-70867728950e");
  EXPECT_EQ(format_uuid_simple(kExample), "0f8fad5bd9cb469fa16570867728950e");
  Uuid nil{};
  EXPECT_EQ(format_uuid_hyphenated(nil), "00000000-0000-0000-0000-000000000000");
}

TEST(Uuid, RandomUuidsAreVersion4WithTheRfcVariant) {
  auto first = random_uuid_v4();
  auto second = random_uuid_v4();
  ASSERT_TRUE(first && second);
  for (const Uuid& uuid : {*first, *second}) {
    EXPECT_EQ(uuid[6] >> 4, 4);
    EXPECT_EQ(uuid[8] >> 6, 2);
    EXPECT_EQ(format_uuid_hyphenated(uuid)[14], '4');
  }
  EXPECT_NE(*first, *second);
}

}  // namespace
}  // namespace varquin::util
