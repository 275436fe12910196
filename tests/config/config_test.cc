#include "config/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/test_support.h"

namespace varquin {
namespace {

using testing::kOrigin;

std::string config_json(const std::string& replace_key = "", const std::string& value = "") {
  std::vector<std::pair<std::string, std::string>> members = {
      {"schema", R"("varquin.browser-bridge.config.v2")"},
      {"extensionId", R"("abcdefghijklmnopabcdefghijklmnop")"},
      {"appBundlePath", R"("/Applications/Varquin.app")"},
      {"appExecutablePath", "null"},
      {"electronUserDataPath", R"("/Users/me/Library/Application Support/Varquin")"},
      {"allowedExtensionOrigins", std::string("[\"") + kOrigin + "\"]"},
  };
  std::string out = "{";
  for (const auto& [key, member_value] : members) {
    std::string v = key == replace_key ? value : member_value;
    if (v == "<absent>") continue;
    if (out.size() > 1) out += ",";
    out += "\"" + key + "\":" + v;
  }
  return out + "}";
}

TEST(ConfigParsing, AcceptsTheDocumentedForm) {
  auto config = BridgeConfig::parse(config_json());
  ASSERT_TRUE(config) << config.error().message;
  EXPECT_EQ(config->electron_user_data_path, "/Users/me/Library/Application Support/Varquin");
  EXPECT_EQ(config->allowed_extension_origins, std::vector<std::string>{kOrigin});
  EXPECT_FALSE(config->app_executable_path);
  auto origin_prefix_only =
      BridgeConfig::parse(config_json("allowedExtensionOrigins", R"(["chrome-extension://"])"));
  EXPECT_TRUE(origin_prefix_only);
}

TEST(ConfigParsing, RefusalsCarryTheirCodeAndMessage) {
  struct Case {
    std::string document;
    std::string message;  // exact, or a prefix ending in ": "
  };
  const std::string invalid = "Browser bridge config is invalid: ";
  const std::string schema_or_path =
      "Browser bridge config has an invalid schema or user-data path";
  const std::string origins = "Browser bridge config has invalid allowed origins";
  const std::string bundle = "Browser bridge config is missing the macOS app bundle path";
  const Case cases[] = {
      {"", invalid},
      {"\xEF\xBB\xBF" + config_json(), invalid},
      {config_json().insert(1, R"("extra":1,)"), invalid},
      {config_json().insert(1, R"("schema":"varquin.browser-bridge.config.v2",)"), invalid},
      {config_json("extensionId", "<absent>"), invalid},
      {config_json("allowedExtensionOrigins", R"("chrome-extension://x/")"), invalid},
      {config_json("allowedExtensionOrigins", "[1]"), invalid},
      {config_json() + " x", invalid},
      {config_json("schema", R"("varquin.browser-bridge.config.v1")"), schema_or_path},
      {config_json("extensionId", R"("Abcdefghijklmnopabcdefghijklmnop")"), schema_or_path},
      {config_json("extensionId", R"("qbcdefghijklmnopabcdefghijklmnop")"), schema_or_path},
      {config_json("extensionId", R"("abcdefghijklmnopabcdefghijklmno")"), schema_or_path},
      {config_json("extensionId", R"("abcdefghijklmnopabcdefghijklmnopa")"), schema_or_path},
      {config_json("electronUserDataPath", R"("relative/dir")"), schema_or_path},
      {config_json("electronUserDataPath", R"("")"), schema_or_path},
      {config_json("allowedExtensionOrigins", "[]"), origins},
      {config_json("allowedExtensionOrigins", R"(["chrome-extension://abc"])"), origins},
      {config_json("allowedExtensionOrigins", R"(["chrome-extension://*/"])"), origins},
      {config_json("allowedExtensionOrigins", R"(["chrome-extension:/"])"), origins},
      {config_json("appBundlePath", "null"), bundle},
      {config_json("appBundlePath", "<absent>"), bundle},
      {config_json("appBundlePath", R"("Varquin.app")"), bundle},
  };
  for (const Case& c : cases) {
    auto config = BridgeConfig::parse(c.document);
    ASSERT_FALSE(config) << c.document;
    EXPECT_EQ(config.error().code, ErrorCode::ConfigInvalid) << c.document;
    EXPECT_FALSE(config.error().retryable());
    if (c.message.ends_with(": ")) {
      EXPECT_TRUE(config.error().message.starts_with(c.message)) << config.error().message;
    } else {
      EXPECT_EQ(config.error().message, c.message) << c.document;
    }
  }
}

TEST(ConfigParsing, ParseErrorsNameTheKeyAndPosition) {
  auto config = BridgeConfig::parse("{\n  \"schema\": 5\n}");
  ASSERT_FALSE(config);
  EXPECT_NE(config.error().message.find("`schema`"), std::string::npos) << config.error().message;
  auto syntax = BridgeConfig::parse("{\n  \"schema\" 5\n}");
  ASSERT_FALSE(syntax);
  EXPECT_NE(syntax.error().message.find("line 2"), std::string::npos) << syntax.error().message;
}

TEST(ConfigLoading, UnreadableFileIsMissingAndRetryable) {
  testing::TempDir dir;
  for (const std::string& path : {dir / "absent.json", dir.path(), std::string()}) {
    auto config = BridgeConfig::load(path);
    ASSERT_FALSE(config);
    EXPECT_EQ(config.error().code, ErrorCode::ConfigMissing);
    EXPECT_TRUE(config.error().retryable());
    EXPECT_TRUE(config.error().message.starts_with("Unable to read browser bridge config: "));
    EXPECT_TRUE(config.error().message.ends_with(")")) << config.error().message;
  }
  testing::write_file(dir / "config.json", config_json());
  EXPECT_TRUE(BridgeConfig::load(dir / "config.json"));
}

// The configuration decides what the bridge launches: one another user may change is refused.
TEST(ConfigLoading, RefusesAConfigurationAnotherUserMayChange) {
  struct Case {
    mode_t mode;
    uid_t owner;      // kSelf: the user running the test
    gid_t group;      // kSelf: left as created
    const char* why;  // nullptr: accepted
  };
  constexpr unsigned kSelf = ~0u;
  const Case cases[] = {
      {0600, kSelf, kSelf, nullptr},
      {0644, kSelf, kSelf, nullptr},
      {0666, kSelf, kSelf, "it is writable by every user (mode 0666)"},
      // A group no account file knows: who is in it cannot be told.
      {0660, kSelf, 54321, "it is writable by group 54321"},
      {0600, 12345, kSelf, "it is owned by another user (uid 12345)"},
  };
  testing::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + (c.why ? c.why : "accepted"));
    const std::string path = dir / "config.json";
    testing::write_file(path, config_json());
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    if (c.owner != kSelf || c.group != kSelf) {
      // Giving a file away takes root; elsewhere these cases cannot be set up.
      if (::geteuid() != 0) continue;
      const auto keep = static_cast<unsigned>(-1);
      ASSERT_EQ(::chown(path.c_str(), c.owner == kSelf ? keep : c.owner,
                        c.group == kSelf ? keep : c.group),
                0);
    }
    auto config = BridgeConfig::load(path);
    if (c.why == nullptr) {
      EXPECT_TRUE(config) << config.error().message;
    } else {
      ASSERT_FALSE(config);
      EXPECT_EQ(config.error().code, ErrorCode::ConfigInvalid);
      EXPECT_FALSE(config.error().retryable());
      EXPECT_EQ(config.error().message.find("Browser bridge config may be changed by another "
                                            "user: " +
                                            std::string(c.why)),
                0u)
          << config.error().message;
    }
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
}

class ConfigPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    save("HOME", home_);
    save("VARQUIN_BROWSER_BRIDGE_CONFIG", override_);
  }
  void TearDown() override {
    restore("HOME", home_);
    restore("VARQUIN_BROWSER_BRIDGE_CONFIG", override_);
  }
  static void save(const char* name, std::optional<std::string>& slot) {
    if (const char* v = std::getenv(name)) slot = v;
  }
  static void restore(const char* name, const std::optional<std::string>& slot) {
    if (slot) {
      ::setenv(name, slot->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  std::optional<std::string> home_, override_;
};

TEST_F(ConfigPathTest, OverrideThenHome) {
  const std::string suffix = "Library/Application Support/Varquin/browser-bridge/config.json";
  ::setenv("VARQUIN_BROWSER_BRIDGE_CONFIG", "", 1);
  EXPECT_EQ(default_config_path().value(), "");
  ::setenv("VARQUIN_BROWSER_BRIDGE_CONFIG", "/etc/x.json", 1);
  EXPECT_EQ(default_config_path().value(), "/etc/x.json");
  ::unsetenv("VARQUIN_BROWSER_BRIDGE_CONFIG");
  ::setenv("HOME", "/Users/me", 1);
  EXPECT_EQ(default_config_path().value(), "/Users/me/" + suffix);
  ::setenv("HOME", "/Users/me/", 1);
  EXPECT_EQ(default_config_path().value(), "/Users/me/" + suffix);
  ::setenv("HOME", "", 1);
  EXPECT_EQ(default_config_path().value(), suffix);
  ::unsetenv("HOME");
  auto missing = default_config_path();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "HOME is not available");
  EXPECT_EQ(missing.error().code, ErrorCode::ConfigMissing);
}

TEST(CallerOrigin, FirstOriginLikeArgumentDecides) {
  BridgeConfig config = testing::config_for("/tmp/u");
  const std::string other = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";
  config.allowed_extension_origins.push_back(other);
  struct Case {
    std::vector<std::string> arguments;
    const char* message;  // nullptr: allowed
  };
  const std::string no_slash = std::string(kOrigin).substr(0, std::string(kOrigin).size() - 1);
  const Case cases[] = {
      {{kOrigin}, nullptr},
      {{"--parent-window=0", other}, nullptr},
      {{"chrome-extension:/", "short", kOrigin}, nullptr},
      {{}, "Chrome did not provide a caller origin"},
      {{"--flag", "chrome-extension:/x"}, "Chrome did not provide a caller origin"},
      {{"chrome-extension://zzz/", kOrigin}, "The browser extension origin is not allowed"},
      {{no_slash, kOrigin}, "The browser extension origin is not allowed"},
      {{"CHROME-EXTENSION://abcdefghijklmnopabcdefghijklmnop/"},
       "Chrome did not provide a caller origin"},
  };
  for (const Case& c : cases) {
    auto checked = config.validate_caller_origin(c.arguments);
    if (c.message == nullptr) {
      EXPECT_TRUE(checked);
    } else {
      ASSERT_FALSE(checked);
      EXPECT_EQ(checked.error().message, c.message);
      EXPECT_EQ(checked.error().code, ErrorCode::ForbiddenOrigin);
      EXPECT_FALSE(checked.error().retryable());
    }
  }
}

}  // namespace
}  // namespace varquin
