#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "base/log.h"
#include "frontend/tool.h"
#include "tests/support/current_folder.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

struct Parsed {
  bool ok;
  int status;
  std::unique_ptr<ConverterOptions> options;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "busfold");
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed parsed{false, 0, tool_create_options()};
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  parsed.ok =
      converter_parse(*parsed.options, static_cast<int>(args.size()), argv.data(), parsed.status);
  ::testing::internal::GetCapturedStderr();
  ::testing::internal::GetCapturedStdout();
  return parsed;
}

class CommandLine : public ::testing::Test {
protected:
  void TearDown() override { set_log_threshold(0); }
};

TEST_F(CommandLine, AppliesSettingsAndOpensTheRoots) {
  testing::TempDir dir, out;
  ASSERT_TRUE(dir.write_file("logs/a.mf4", "x"));
  ASSERT_TRUE(dir.write_file("x.mf4", "x"));
  ASSERT_TRUE(dir.write_file("conf/keys.json", R"({"default": "a", "0A": "b"})"));
  testing::ScopedCurrentFolder cwd(dir.path());

  Parsed p = parse({"-d", "-X", "--non-interactive", "-b", "0x10", "--verbosity", "5", "-p",
                    "conf\\keys.json", "-O", out.path(), "logs", "x.mf4"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.status, 0);
  const ConverterOptions& o = *p.options;
  EXPECT_EQ(o.delete_converted, 1);
  EXPECT_EQ(o.no_append_root, 1);
  EXPECT_EQ(o.non_interactive, 1);
  EXPECT_EQ(o.buffer_size, 16);
  EXPECT_EQ(log_threshold, kLogVerbose);
  EXPECT_EQ(o.passwords.size(), 2u);
  EXPECT_EQ(o.password_files, std::vector<std::string>{dir.file("conf/keys.json")});
  EXPECT_EQ(o.output_dirs, std::vector<std::string>{out.path() + "/"});
  EXPECT_EQ(o.root, dir.path() + "/");
  EXPECT_EQ(o.inputs, (std::vector<std::string>{"logs/", "x.mf4"}));
  ASSERT_TRUE(o.input_root);
  EXPECT_EQ(o.input_root->base(), dir.path() + "/");
  ASSERT_TRUE(o.owned_output_root);
  EXPECT_EQ(o.output_root, o.owned_output_root.get());

  Parsed defaults = parse({"logs"});
  ASSERT_TRUE(defaults.ok);
  EXPECT_EQ(defaults.options->delete_converted, 0);
  EXPECT_EQ(defaults.options->buffer_size, -1);
  EXPECT_EQ(log_threshold, kLogInfo);
  EXPECT_EQ(defaults.options->output_root, defaults.options->input_root.get());
}

TEST_F(CommandLine, MapsVerbosityToTheThreshold) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("a.mf4", "x"));
  const std::pair<const char*, LogLevel> cases[] = {{"0", kLogFatal},   {"1", kLogError},
                                                    {"2", kLogWarning}, {"3", kLogInfo},
                                                    {"4", kLogVerbose}, {"5", kLogVerbose}};
  for (const auto& [value, threshold] : cases) {
    Parsed p = parse({"--verbosity", value, dir.file("a.mf4")});
    EXPECT_TRUE(p.ok) << value;
    EXPECT_EQ(log_threshold, threshold) << value;
  }
  Parsed bad = parse({"--verbosity", "-1", dir.file("a.mf4")});
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.status, 131);
}

bool refuse_options(ConverterOptions&, OptionList&) { return false; }
int g_after_parse_calls = 0;
bool count_after_parse(ConverterOptions&) {
  ++g_after_parse_calls;
  return false;
}

TEST_F(CommandLine, ToolHooksDecideTheResult) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("a.mf4", "x"));
  std::string input = dir.file("a.mf4");
  std::vector<char*> argv = {const_cast<char*>("busfold"), input.data(), nullptr};

  const ToolDef refusing = {refuse_options, count_after_parse, nullptr};
  ConverterOptions refused(&refusing);
  int status = 0;
  EXPECT_FALSE(converter_parse(refused, 2, argv.data(), status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(g_after_parse_calls, 0);

  const ToolDef vetoing = {nullptr, count_after_parse, nullptr};
  ConverterOptions vetoed(&vetoing);
  EXPECT_FALSE(converter_parse(vetoed, 2, argv.data(), status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(g_after_parse_calls, 1);
  EXPECT_TRUE(vetoed.input_root);
}

}  // namespace
}  // namespace busfold
