#include "util/path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace varquin::util {
namespace {

using namespace std::string_literals;

// What decides whether a path lies inside the store or a managed download directory: the
// components, the name and the parent each check takes.
struct Split {
  std::string path;
  bool absolute;
  std::vector<std::string> components;
  std::optional<std::string> name;
  std::optional<std::string> parent;
};

const Split kSplits[] = {
    {"/a/b/c.csv", true, {"a", "b", "c.csv"}, "c.csv", "/a/b"},
    {"/a//b///c.csv", true, {"a", "b", "c.csv"}, "c.csv", "/a/b"},
    {"/a/b/", true, {"a", "b"}, "b", "/a"},
    {"/a/./b/.", true, {"a", "b"}, "b", "/a"},
    {"/a/b/..", true, {"a", "b", ".."}, std::nullopt, "/a/b"},
    {"/../x", true, {"..", "x"}, "x", "/.."},
    {"/", true, {}, std::nullopt, std::nullopt},
    {"//", true, {}, std::nullopt, std::nullopt},
    {"/x", true, {"x"}, "x", "/"},
    {"", false, {}, std::nullopt, std::nullopt},
    {"a/b", false, {"a", "b"}, "b", "a"},
    {"a", false, {"a"}, "a", ""},
    {"./a", false, {".", "a"}, "a", "."},
    {".", false, {"."}, std::nullopt, ""},
    {"..", false, {".."}, std::nullopt, ""},
    // A NUL byte is an ordinary byte here; the platform refuses such a path before the system
    // could cut it short.
    {"/a\0b/c"s, true, {"a\0b"s, "c"}, "c", "/a\0b"s},
};

TEST(ParsedPath, SplitsIntoComponentsNameAndParent) {
  for (const Split& split : kSplits) {
    const ParsedPath parsed(split.path);
    std::vector<std::string> components;
    for (std::string_view part : parsed.components()) components.emplace_back(part);
    EXPECT_EQ(parsed.absolute(), split.absolute) << split.path;
    EXPECT_EQ(components, split.components) << split.path;
    EXPECT_EQ(parsed.file_name(), split.name) << split.path;
    EXPECT_EQ(parent_path(split.path), split.parent) << split.path;
    // The parent keeps its components: nothing is parsed again.
    if (auto parent = parsed.parent()) {
      EXPECT_EQ(parent->size(), parsed.size() - 1) << split.path;
      EXPECT_TRUE(parent->same_as(ParsedPath(*split.parent))) << split.path;
    }
  }
}

TEST(ParsedPath, ComparesComponentByComponent) {
  struct Pair {
    std::string a, b;
    bool same;
  };
  for (const Pair& pair : std::vector<Pair>{
           {"/a/b", "/a//b/", true},
           {"/a/./b", "/a/b", true},
           {"/a/b", "a/b", false},  // absolute and relative never meet
           {"/a/B", "/a/b", false},
           {"/a/../b", "/b", false},  // ".." is not resolved here
           {"/a\0b"s, "/a", false},
           {"", ".", false},
       }) {
    EXPECT_EQ(same_path(pair.a, pair.b), pair.same) << pair.a << " | " << pair.b;
  }
}

}  // namespace
}  // namespace varquin::util
