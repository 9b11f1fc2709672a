#include "frontend/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "frontend/convert_file.h"
#include "frontend/tool.h"
#include "tests/support/logger_file.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

// What files being converted have read counts until they finish; then their size counts
// in its place, never both.
TEST(RunProgress, CountsWhatRunningFilesHaveReadOnce) {
  ::testing::internal::CaptureStderr();  // the display is drawn to standard error
  RunProgress progress(true);
  progress.found();
  progress.found();
  progress.started("a.mf4");
  progress.started("b.mf4");
  progress.reading("a.mf4", 3 * kMiB);
  progress.reading("b.mf4", 1 * kMiB);
  progress.reading("a.mf4", 5 * kMiB);
  EXPECT_TRUE(progress.line(200).starts_with("0/2+ files, 6.0 MiB, ")) << progress.line(200);
  EXPECT_TRUE(progress.line(200).ends_with(", a.mf4")) << progress.line(200);

  progress.finished("a.mf4", true, 10, 8 * kMiB, kMiB);
  EXPECT_TRUE(progress.line(200).starts_with("1/2+ files, 9.0 MiB, ")) << progress.line(200);
  EXPECT_TRUE(progress.line(200).ends_with(", b.mf4")) << progress.line(200);
  progress.finished("b.mf4", false, 0, 2 * kMiB, 0);
  progress.walk_done();
  EXPECT_TRUE(progress.line(200).starts_with("2/2 files, 10.0 MiB, ")) << progress.line(200);
  EXPECT_EQ(progress.totals().bytes_in, 10 * kMiB);
  EXPECT_EQ(progress.line(12).size(), 11u);  // the last column stays free
  progress.stop();
  ::testing::internal::GetCapturedStderr();
}

class TakesRecords : public ToolOps {
public:
  bool takes_records() const override { return true; }
};
const TakesRecords kTakesRecords;

// A long file moves the display while it is converted, not only once it is done.
TEST(RunProgress, ConvertingAFileReportsHowFarItHasRead) {
  testing::TempDir dir;
  const std::vector<std::uint8_t> file = test::build_logger_file(test::mixed_can_frames(100'000));
  ASSERT_TRUE(dir.write_file("long.mf4", {reinterpret_cast<const char*>(file.data()), file.size()}));
  std::unique_ptr<ConverterOptions> options = tool_create_options();
  options->input_root = fs_root_new(dir.path());
  ToolContext ctx;
  ASSERT_TRUE(tool_context_init(ctx, options->input_root.get(), options->input_root.get(), 1,
                                options.get()));
  ctx.ops = &kTakesRecords;

  ::testing::internal::CaptureStderr();
  RunProgress progress(true);
  progress.found();
  progress.started("long.mf4");
  ctx.progress = &progress;
  ctx.shown_input = "long.mf4";
  ctx.input_size = file.size();
  EXPECT_EQ(convert_file(ctx, "long.mf4", "out"), 0);
  // Reported after 98,304 of the 100,000 records.
  const std::string line = progress.line(200);
  const double mib = std::stod(line.substr(line.find(", ") + 2));
  EXPECT_GT(mib, 0.9 * static_cast<double>(file.size()) / kMiB) << line;
  EXPECT_LE(mib, static_cast<double>(file.size()) / kMiB + 0.05) << line;
  progress.stop();
  ::testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace busfold
