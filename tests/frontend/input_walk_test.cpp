#include "frontend/input_walk.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "app/busfold_tool.h"
#include "base/log.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using Calls = std::vector<std::pair<std::string, std::string>>;
Calls g_calls;

// Stands in for the pipeline: records what the walk hands over; files named "bad*" fail.
int record_call(ToolContext&, std::string_view input, std::string_view output) {
  g_calls.emplace_back(input, output);
  return path_file_name(input).substr(0, 3) == "bad" ? 8 : 0;
}

// A run over a temporary input tree, with an optional separate output folder.
struct WalkRun {
  explicit WalkRun(const testing::TempDir& in, const testing::TempDir* out = nullptr,
                   bool no_append_root = false) {
    options = tool_create_options();
    options->no_append_root = no_append_root ? 1 : 0;
    options->input_root = fs_root_new(in.path());
    options->output_root = options->input_root.get();
    if (out != nullptr) {
      options->owned_output_root = fs_root_new(out->path());
      options->output_root = options->owned_output_root.get();
    }
    EXPECT_TRUE(
        tool_context_init(ctx, options->input_root.get(), options->output_root, 1, options.get()));
    ctx.file_converter = record_call;
    g_calls.clear();
  }
  int run(const std::vector<std::string>& inputs) {
    ::testing::internal::CaptureStderr();
    int status = converter_run(ctx, inputs);
    err = ::testing::internal::GetCapturedStderr();
    return status;
  }
  std::unique_ptr<ConverterOptions> options;
  ToolContext ctx;
  std::string err;
};

// Folders are walked depth first in byte order; outputs drop the extension and, unless -X,
// get "_out" after the first folder. Codes combine: a failed file adds 8, one that cannot be
// examined 129 (without -X the query before the walk ends the run). A missing input adds 1
// and the run goes on (command_line_test.cpp).
TEST(InputWalk, MapsInputsToOutputsAndCombinesTheirCodes) {
  testing::TempDir dir, out;
  for (const char* name : {"logs/a.mf4", "logs/B.mf4", "logs/a.mf4.bak", "logs/a.mdf", "logs/a.mf",
                           "logs/a.mf4x", "logs/mf4", "logs/d.mfc", "logs/e.mfm", "logs/sub/c.MFE",
                           "logs/sub/notes.txt", "logs/bad.mf4"})
    ASSERT_TRUE(dir.write_file(name, "12345"));
  ASSERT_TRUE(dir.make_folder("logs/empty"));
  ASSERT_EQ(::symlink("loop", dir.file("loop").c_str()), 0);
  const Calls just_a = {{"logs/a.mf4", "logs/a"}};
  const Calls all = {{"logs/B.mf4", "logs_out/B"},        {"logs/a.mf4", "logs_out/a"},
                     {"logs/bad.mf4", "logs_out/bad"},    {"logs/d.mfc", "logs_out/d"},
                     {"logs/e.mfm", "logs_out/e"},        {"logs/mf4", "logs_out/mf4"},
                     {"logs/sub/c.MFE", "logs_out/sub/c"}};  // "mf4": the whole name is kept
  struct Case {
    bool separate_output, no_append_root;
    std::vector<std::string> inputs;
    int status;
    Calls calls;
    std::vector<const char*> lines = {};
  } cases[] = {
      {false, false, {"logs/"}, 8, all},
      {false, true, {"logs/sub"}, 0, {{"logs/sub/c.MFE", "logs/sub/c"}}},
      {true, false, {"logs/sub/"}, 0, {{"logs/sub/c.MFE", "logs_out/sub/c"}}},
      {false, false, {"logs/mf4", "logs/a.mdf"}, 0, {{"logs/mf4", "logs/mf4"}}},
      {false,
       true,
       {"loop", "logs/a.mf4/x", "logs/a.mf4"},
       129,
       just_a,
       {" F Error during stat of loop, exiting\n",
        " F Error during stat of logs/a.mf4/x, exiting\n"}},
      {false,
       false,
       {"logs/a.mf4", "loop", "logs/B.mf4"},
       129,
       just_a,
       {" F Could not query loop for information\n"}},
  };
  for (const Case& c : cases) {
    WalkRun run(dir, c.separate_output ? &out : nullptr, c.no_append_root);
    EXPECT_EQ(run.run(c.inputs), c.status) << c.inputs[0];
    EXPECT_EQ(g_calls, c.calls) << c.inputs[0];
    for (const char* line : c.lines)
      EXPECT_NE(run.err.find(line), std::string::npos) << line << run.err;
    if (c.inputs[0] == "logs/") {
      EXPECT_EQ(run.ctx.file_count, 7u);
      EXPECT_EQ(run.ctx.total_bytes, 35u);
    }
  }
  EXPECT_TRUE(dir.exists("logs_out/sub"));
  EXPECT_FALSE(dir.exists("logs_out/empty"));  // folders are made for files only
  EXPECT_TRUE(out.exists("logs_out/sub"));
}

// Thirteen levels, each holding two links to the next: 4,096 paths to the last file; and a
// link from the last back up to the first, which must not send the walk round for ever.
TEST(InputWalk, WalksEachRealFolderOnceHoweverManyLinksReachIt) {
  testing::TempDir dir;
  constexpr int kLevels = 13;
  for (int level = 0; level <= kLevels; ++level) {
    ASSERT_TRUE(dir.make_folder("real/" + std::to_string(level)));
  }
  ASSERT_TRUE(dir.write_file("real/" + std::to_string(kLevels) + "/x.mf4", "12345"));
  for (int level = 0; level < kLevels; ++level) {
    const std::string next = dir.file("real/" + std::to_string(level + 1));
    for (const char* link : {"/a", "/b"}) {
      ASSERT_EQ(::symlink(next.c_str(), (dir.file("real/" + std::to_string(level)) + link).c_str()),
                0);
    }
  }
  ASSERT_EQ(::symlink(dir.file("real/0").c_str(), dir.file("logs").c_str()), 0);
  ASSERT_EQ(::symlink("../0", dir.file("real/" + std::to_string(kLevels) + "/up").c_str()), 0);
  WalkRun walk(dir);
  EXPECT_EQ(walk.run({"logs"}), 0);
  EXPECT_EQ(g_calls.size(), 1u);
}

// A tool whose files may be converted side by side; a worker gets a plain context.
class SideBySideOps final : public ToolOps {
public:
  std::unique_ptr<ToolContext> new_worker(ToolContext& ctx) const override {
    auto worker = std::make_unique<ToolContext>();
    worker->ops = this;
    tool_context_init(*worker, ctx.input_root, ctx.output_root, 0, ctx.options);
    return worker;
  }
};

// More lines than a file may hold back while one before it converts; the first is slowest.
int chatty_call(ToolContext&, std::string_view input, std::string_view) {
  if (input.ends_with("0.mf4")) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 1000; ++i)
    BUSFOLD_LOG(kLogInfo, "%.*s line %04d %080d", static_cast<int>(input.size()), input.data(), i,
                0);
  return input.ends_with("3.mf4") ? 8 : 0;
}

TEST(InputWalk, FilesConvertedSideBySideLogInWalkOrder) {
  testing::TempDir dir;
  std::string expected;
  for (int file = 0; file < 6; ++file) {
    const std::string name = "logs/" + std::to_string(file) + ".mf4";
    ASSERT_TRUE(dir.write_file(name, ""));
    for (int i = 0; i < 1000; ++i) {
      char line[160];
      std::snprintf(line, sizeof line, "I %s line %04d %080d\n", name.c_str(), i, 0);
      expected += line;
    }
    expected += file == 3 ? "E Error during conversion of logs/3.mf4\n"
                          : "I Converted " + name + " -> " + dir.file(name.substr(0, 6)) +
                                " (0 frames, 0.00 MiB, T s)\n";
  }
  expected += "W Could not find input file/folder missing.mf4\n"
              "I Done: 5 file(s) converted, 1 failed, 0 skipped; 0 frames, 0.00 MiB in, 0.00 "
              "MiB out, T s\n";
  const SideBySideOps ops;
  WalkRun run(dir, nullptr, true);
  run.ctx.ops = &ops;
  run.ctx.file_converter = chatty_call;
  run.options->jobs = 3;
  EXPECT_EQ(run.run({"logs", "missing.mf4"}), 8 | 1);
  std::string logged;
  std::istringstream lines(run.err);
  const std::regex prefix(R"(^\S+ \S+ +\d+ +\d+ (.*)$)"), seconds(R"(\d+\.\d\d s\b)");
  for (std::string line; std::getline(lines, line);)
    logged += std::regex_replace(std::regex_replace(line, prefix, "$1"), seconds, "T s") + "\n";
  EXPECT_TRUE(logged == expected) << logged.substr(logged.size() - 300);
}

}  // namespace
}  // namespace busfold
