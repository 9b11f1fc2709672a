#include "frontend/password_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "app/busfold_tool.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

// What the store holds is held to the JSON library's own reading by fuzz/password_fuzz.cpp;
// devices whose ids are written in lower case get their passwords end to end.

TEST(PasswordStore, RefusesTextThatIsNoObjectOfPasswords) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"{\"11\": \"a\",\n \"22\" \"b\"}", "p.json: line 2, column 9: syntax error"},
      {"", "p.json: line 1, column 1: syntax error"},
      {R"({"11": 5})", "p.json: the password of \"11\" is a number, not a string"},
      {R"(["11", "a"])", "p.json: expected one JSON object of passwords, found an array"},
  };
  for (const Case& c : cases) {
    PasswordStore store;
    Status parsed = parse_password_text(c.text, "p.json", store);
    ASSERT_FALSE(parsed.ok()) << c.text;
    ASSERT_EQ(parsed.messages().size(), 1u);
    EXPECT_EQ(parsed.messages()[0].rfind(c.message, 0), 0u) << parsed.messages()[0];
  }
}

TEST(PasswordStore, LoadsTheNamedOrDefaultFileAndRefusesUnusableOnes) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("passwords.json", R"({"default": "d"})"));
  ASSERT_TRUE(dir.write_file("other.json", R"({"AB": "1", "CD": "2"})"));
  ASSERT_TRUE(dir.write_file("broken.json", R"({"AB": "1",)"));
  ASSERT_TRUE(dir.write_file("huge.json", "{" + std::string(kMaxPasswordFileSize, ' ') + "}"));
  ASSERT_TRUE(dir.make_folder("folder.json"));
  ASSERT_EQ(::mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
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
      {{dir.file("folder.json")}, false, 134, 0},
      {{dir.file("fifo.json")}, false, 134, 0},
      {{dir.file("broken.json")}, false, 134, 1},
      {{dir.file("huge.json")}, false, 134, 0},
  };
  for (const Case& c : cases) {
    auto options = tool_create_options();
    options->password_files = c.named;
    int status = 0;
    EXPECT_EQ(load_password_file(*options, status), c.ok) << (c.named.empty() ? "" : c.named[0]);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(options->passwords.size(), c.count);
  }
}

}  // namespace
}  // namespace busfold
