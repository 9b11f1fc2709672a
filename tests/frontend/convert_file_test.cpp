#include "frontend/convert_file.h"

#include <gtest/gtest.h>

#include "app/busfold_tool.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

TEST(ConvertFile, OpensAndBuffersTheInputButCannotLoadItYet) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("a.mf4", std::string(100, 'x')));
  ASSERT_TRUE(dir.write_file("empty.mf4", ""));
  auto options = tool_create_options();
  options->input_root = fs_root_new(dir.path());
  ToolContext ctx;
  ASSERT_TRUE(tool_context_init(ctx, options->input_root.get(), options->input_root.get(), 1,
                                options.get()));
  struct Case {
    const char* input;
    std::int64_t buffer_size;
    const char* message;
  } cases[] = {
      {"a.mf4", -1, " E Could not open MDF\n"},
      {"a.mf4", 0, " E Could not open MDF\n"},
      {"a.mf4", 13, " E Could not open MDF\n"},
      {"empty.mf4", -1, " E Could not open MDF\n"},
      {"missing.mf4", -1, " E Could not open input file missing.mf4\n"},
  };
  for (const Case& c : cases) {
    options->buffer_size = c.buffer_size;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(convert_file(ctx, c.input, "out"), kConvertFailed);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.message), std::string::npos) << c.input << c.buffer_size << err;
  }
}

}  // namespace
}  // namespace busfold
