#include "frontend/password_store.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "app/busfold_tool.h"
#include "tests/support/current_folder.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

TEST(PasswordStore, FirstKeyWinsAndLookupIsExact) {
  PasswordStore store;
  EXPECT_TRUE(store.insert("00A1B2C3", "one"));
  EXPECT_FALSE(store.insert("00A1B2C3", "two"));
  ASSERT_NE(store.find("00A1B2C3"), nullptr);
  EXPECT_EQ(*store.find("00A1B2C3"), "one");
  EXPECT_EQ(store.find("00a1b2c3"), nullptr);
  EXPECT_EQ(store.find("00A1B2C"), nullptr);
  EXPECT_EQ(store.size(), 1u);
}

TEST(PasswordStore, ParsesMembersWithTheOneExpression) {
  using Entries = std::map<std::string, std::string>;
  struct Case {
    const char* text;
    Entries expected;
    int warnings;
  } cases[] = {
      {R"({"default": "pw", "00A1B2C3": "secret"})",
       {{"default", "pw"}, {"00A1B2C3", "secret"}},
       0},
      {R"({"11": "first", "11": "second"})", {{"11", "first"}}, 1},
      {R"({"00a1b2c3": "lower"})", {{"00a1b2c3", "lower"}}, 0},
      {R"({"x1": "skipped", "22": "kept"})", {{"22", "kept"}}, 0},
      {R"({"33": "a\\b"})", {{"33", R"(a\\b)"}}, 0},
      {R"({"44": "ab\"cd"})", {{"44", R"(ab\)"}}, 0},
      {"{\n  \"55\"\n  :\r\n  \"split\"\n}", {{"55", "split"}}, 0},
      {"{\"66\": \"line\nfeed\"}", {}, 0},
      {"{\"77\": \"carriage\rreturn\"}", {{"77", "carriage\rreturn"}}, 0},
      {R"({"": "empty key"})", {{"", "empty key"}}, 0},
      {"no members at all", {}, 0},
  };
  for (const Case& c : cases) {
    PasswordStore store;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(parse_password_text(c.text, store));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.size(), c.expected.size()) << c.text;
    for (const auto& [key, value] : c.expected) {
      const std::string* found = store.find(key);
      ASSERT_NE(found, nullptr) << c.text << " key " << key;
      EXPECT_EQ(*found, value) << c.text;
    }
    int warnings = 0;
    for (std::size_t at = err.find(" W Failed to insert key for \""); at != std::string::npos;
         at = err.find(" W Failed to insert key for \"", at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, c.warnings) << c.text << err;
  }
}

TEST(PasswordStore, LongRunsOfWhiteSpaceScanInLinearTime) {
  // The search used to start again at every position of a run and scan the rest of it:
  // 300,000 spaces took half a minute.
  std::string text = "{" + std::string(300000, ' ') + "\"default\":" + std::string(300000, '\n') +
                     "\"pw\"" + std::string(300000, '\t') + "}";
  PasswordStore store;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(parse_password_text(text, store));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_NE(store.find("default"), nullptr);
  EXPECT_EQ(*store.find("default"), "pw");
}

TEST(PasswordStore, LoadsTheNamedOrDefaultFile) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("passwords.json", R"({"default": "d"})"));
  ASSERT_TRUE(dir.write_file("other.json", R"({"AB": "1", "CD": "2"})"));
  ASSERT_TRUE(dir.make_folder("folder.json"));
  testing::ScopedCurrentFolder cwd(dir.path());

  struct Case {
    std::vector<std::string> named;
    bool ok;
    int status;
    std::size_t count;
  } cases[] = {
      {{}, true, 0, 1},
      {{dir.file("other.json")}, true, 0, 2},
      {{dir.file("missing.json")}, false, 1, 0},
      {{dir.file("folder.json")}, false, 1, 0},
  };
  for (const Case& c : cases) {
    auto options = tool_create_options();
    options->password_files = c.named;
    int status = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_password_file(*options, status), c.ok);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(options->passwords.size(), c.count);
    if (!c.ok) {
      EXPECT_NE(err.find(" E Failed to open password file at " + c.named[0]), std::string::npos);
    }
  }

  // Without a passwords.json the store stays empty, silently.
  ASSERT_EQ(::unlink(dir.file("passwords.json").c_str()), 0);
  auto options = tool_create_options();
  int status = 0;
  EXPECT_TRUE(load_password_file(*options, status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(options->passwords.size(), 0u);
}

}  // namespace
}  // namespace busfold
