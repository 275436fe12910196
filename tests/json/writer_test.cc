#include "json/writer.h"

#include <gtest/gtest.h>

#include "json/reader.h"

namespace varquin::json {
namespace {

std::string written(Style style) {
  ObjectWriter writer(style);
  writer.string("a", "x\"y").null("b").strings("c", {"1", "2"}).strings("d", {}).boolean("e", true);
  auto text = writer.finish();
  EXPECT_TRUE(text.has_value());
  return text.value_or("");
}

TEST(ObjectWriter, WritesNullAndStringArraysInBothStyles) {
  EXPECT_EQ(written(Style::Compact), R"({"a":"x\"y","b":null,"c":["1","2"],"d":[],"e":true})");
  EXPECT_EQ(written(Style::Pretty),
            "{\n  \"a\": \"x\\\"y\",\n  \"b\": null,\n  \"c\": [\n    \"1\",\n    \"2\"\n  ],\n"
            "  \"d\": [],\n  \"e\": true\n}");
  EXPECT_TRUE(parse_document(written(Style::Pretty)).has_value());
}

TEST(ObjectWriter, RefusesAnArrayElementThatIsNotUtf8) {
  ObjectWriter writer(Style::Compact);
  writer.strings("c", {"ok", "\xff"});
  EXPECT_FALSE(writer.finish().has_value());
}

}  // namespace
}  // namespace varquin::json
