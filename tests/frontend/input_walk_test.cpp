#include "frontend/input_walk.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/busfold_tool.h"
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

void make_tree(const testing::TempDir& dir) {
  for (const char* name :
       {"logs/a.mf4", "logs/B.mf4", "logs/a.mf4.bak", "logs/a.mdf", "logs/mf4", "logs/d.mfc",
        "logs/e.mfm", "logs/sub/c.MFE", "logs/sub/notes.txt", "logs/bad.mf4"}) {
    ASSERT_TRUE(dir.write_file(name, "12345"));
  }
  ASSERT_TRUE(dir.make_folder("logs/empty"));
}

TEST(InputWalk, WalksFoldersDepthFirstInByteOrderWithOutOutputs) {
  testing::TempDir dir;
  make_tree(dir);
  WalkRun run(dir);
  EXPECT_EQ(run.run({"logs/"}), 8);
  EXPECT_EQ(g_calls, (Calls{{"logs/B.mf4", "logs_out/B"},
                            {"logs/a.mf4", "logs_out/a"},
                            {"logs/bad.mf4", "logs_out/bad"},
                            {"logs/d.mfc", "logs_out/d"},
                            {"logs/e.mfm", "logs_out/e"},
                            {"logs/mf4", "logs_out/mf4"},  // the whole name is kept
                            {"logs/sub/c.MFE", "logs_out/sub/c"}}));
  EXPECT_EQ(run.ctx.file_count, 7u);
  EXPECT_EQ(run.ctx.total_bytes, 35u);
  EXPECT_TRUE(dir.exists("logs_out/sub"));
  EXPECT_FALSE(dir.exists("logs_out/empty"));  // folders are made for files only
  EXPECT_NE(run.err.find(" E Error during conversion of logs/bad.mf4\n"), std::string::npos);
}

TEST(InputWalk, OutputPathsFollowTheAppendRootAndOutputFolderSettings) {
  testing::TempDir dir, out;
  make_tree(dir);
  struct Case {
    bool separate_output, no_append_root;
    std::vector<std::string> inputs;
    Calls calls;
  } cases[] = {
      {false, true, {"logs/sub"}, {{"logs/sub/c.MFE", "logs/sub/c"}}},
      {true, false, {"logs/sub/"}, {{"logs/sub/c.MFE", "logs_out/sub/c"}}},
      {true,
       true,
       {"logs/a.mf4", "logs/a.mf4"},
       {{"logs/a.mf4", "logs/a"}, {"logs/a.mf4", "logs/a"}}},
      {false, false, {"logs/mf4", "logs/a.mdf"}, {{"logs/mf4", "logs/mf4"}}},
  };
  for (const Case& c : cases) {
    WalkRun run(dir, c.separate_output ? &out : nullptr, c.no_append_root);
    EXPECT_EQ(run.run(c.inputs), 0) << c.inputs[0];
    EXPECT_EQ(g_calls, c.calls) << c.inputs[0];
  }
  EXPECT_TRUE(out.exists("logs_out/sub"));
  EXPECT_TRUE(out.exists("logs"));
}

TEST(InputWalk, MissingInputsAddOneAndTheRunGoesOn) {
  testing::TempDir dir;
  make_tree(dir);
  WalkRun run(dir);
  EXPECT_EQ(run.run({"logs/missing.mf4", "logs/a.mf4"}), 1);
  EXPECT_EQ(g_calls, (Calls{{"logs/a.mf4", "logs/a"}}));
  EXPECT_NE(run.err.find(" W Could not find input file/folder logs/missing.mf4\n"),
            std::string::npos);
}

TEST(InputWalk, EntriesThatCannotBeExaminedAdd129) {
  testing::TempDir dir;
  make_tree(dir);
  ASSERT_EQ(::symlink("loop", dir.file("loop").c_str()), 0);
  // With -X the walk examines the input itself: 129, then the next input.
  WalkRun skip(dir, nullptr, true);
  EXPECT_EQ(skip.run({"loop", "logs/a.mf4/x", "logs/a.mf4"}), 129);
  EXPECT_EQ(g_calls, (Calls{{"logs/a.mf4", "logs/a"}}));
  EXPECT_NE(skip.err.find(" F Error during stat of loop, exiting\n"), std::string::npos);
  EXPECT_NE(skip.err.find(" F Error during stat of logs/a.mf4/x, exiting\n"), std::string::npos);

  // Without it the query before the walk fails and ends the run.
  WalkRun stop(dir);
  EXPECT_EQ(stop.run({"logs/a.mf4", "loop", "logs/B.mf4"}), 129);
  EXPECT_EQ(g_calls, (Calls{{"logs/a.mf4", "logs/a"}}));
  EXPECT_NE(stop.err.find(" F Could not query loop for information\n"), std::string::npos);
}

TEST(InputWalk, LinksBackUpTheTreeAreNotFollowedForEver) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("logs/sub/c.mf4", "x"));
  ASSERT_EQ(::symlink("..", dir.file("logs/sub/up").c_str()), 0);
  WalkRun run(dir, nullptr, true);
  EXPECT_EQ(run.run({"logs/"}), 0);
  EXPECT_EQ(g_calls, (Calls{{"logs/sub/c.mf4", "logs/sub/c"}}));
}

TEST(InputWalk, FindsTheOneCommonRoot) {
  struct Case {
    std::vector<std::string> inputs;
    bool ok;
    std::string root;
    std::vector<std::string> relative;
    const char* message;
  } cases[] = {
      {{"/d/a.mf4", "/d/logs/"}, true, "/d/", {"a.mf4", "logs/"}, nullptr},
      {{"/d/a.mf4", "/d/a.mf4"}, true, "/d/", {"a.mf4", "a.mf4"}, nullptr},
      {{"/a.mf4"}, true, "/", {"a.mf4"}, nullptr},
      {{"/logs/"}, true, "/", {"logs/"}, nullptr},
      {{"/"}, false, "", {}, " F Could not find root for /\n"},
      {{"a.mf4"}, false, "", {}, " F Could not find root for a.mf4\n"},
      {{"/d/a.mf4", "/d/logs/b.mf4"}, false, "", {}, " F No common root detected for all inputs\n"},
      {{}, false, "", {}, nullptr},
  };
  for (const Case& c : cases) {
    auto options = tool_create_options();
    options->inputs = c.inputs;
    int status = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(find_common_root(*options, status), c.ok);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (c.ok) {
      EXPECT_EQ(options->root, c.root);
      EXPECT_EQ(options->inputs, c.relative);
      EXPECT_EQ(status, 0);
    } else {
      EXPECT_EQ(status, 132);
      if (c.message != nullptr) {
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
      } else {
        EXPECT_EQ(err, "");
      }
    }
  }
}

TEST(InputWalk, AcceptsTheFourExtensionsInAnyCase) {
  const std::pair<const char*, bool> cases[] = {
      {"A.MF4", true},      {"a.mfc", true},  {"a.MFE", true}, {"a.mfm", true},   {"d.x/mf4", true},
      {"a.mf4.bak", false}, {"a.mdf", false}, {"a.", false},   {"mf4.d/a", false}};
  for (auto [name, accepted] : cases) {
    EXPECT_EQ(is_accepted_extension(path_extension(name)), accepted) << name;
  }
}

TEST(InputWalk, WalksEachRealFolderOnceHoweverManyLinksReachIt) {
  // Thirteen levels, each holding two links to the next: 4,096 paths to the last file.
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
  WalkRun walk(dir);
  EXPECT_EQ(walk.run({"logs"}), 0);
  EXPECT_EQ(g_calls.size(), 1u);
}

}  // namespace
}  // namespace busfold
