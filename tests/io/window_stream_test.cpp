#include "io/window_stream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

bool shows(const std::uint8_t* view, const std::string& file, std::uint64_t at, std::size_t n) {
  return view != nullptr && std::memcmp(view, file.data() + at, n) == 0;
}

TEST(WindowStream, ViewsAndReadsAnyRangeOfAFileLargerThanItsWindows) {
  testing::TempDir dir;
  // Every byte of the file tells its own position, so a view from the wrong place shows.
  std::string file(5 * kWindowSize + 12345, '\0');
  for (std::size_t i = 0; i < file.size(); ++i)
    file[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  ASSERT_TRUE(dir.write_file("big.mf4", file));
  auto opened = file_stream_open(dir.file("big.mf4"), 0);
  auto stream = window_stream_new(opened);
  ASSERT_NE(stream, nullptr);
  // More cursors than windows, far apart and each moving on: every view shows its bytes.
  std::vector<std::uint64_t> cursors;
  for (std::size_t i = 0; i <= kWindowCount; ++i)
    cursors.push_back(i * kWindowSize + 7);
  for (int step = 0; step < 40; ++step) {
    for (std::uint64_t& at : cursors) {
      const std::size_t n = 1 + (at % 3000);
      if (at + n > file.size()) continue;
      ASSERT_TRUE(shows(stream->view(at, n), file, at, n)) << at;
      at += 100003;
    }
  }
  // A range across a window boundary and the last byte; none past the end or wider than a
  // window. Reads larger than a window, and across the end.
  EXPECT_TRUE(shows(stream->view(kWindowSize - 10, 20), file, kWindowSize - 10, 20));
  EXPECT_TRUE(shows(stream->view(file.size() - 1, 1), file, file.size() - 1, 1));
  EXPECT_EQ(stream->view(file.size() - 1, 2), nullptr);
  EXPECT_EQ(stream->view(0, kWindowSize + 1), nullptr);
  std::vector<std::uint8_t> all(file.size());
  ASSERT_EQ(stream->seek(3, kSeekSet), 3);
  ASSERT_EQ(stream->read(all.data(), 2 * kWindowSize), static_cast<std::int64_t>(2 * kWindowSize));
  EXPECT_EQ(std::memcmp(all.data(), file.data() + 3, 2 * kWindowSize), 0);
  ASSERT_EQ(stream->seek(-5, kSeekEnd), static_cast<std::int64_t>(file.size() - 5));
  EXPECT_EQ(stream->read(all.data(), 100), 5);

  // Another program may truncate an input while it is converted: reads then come up
  // short, where a memory map would have killed the run.
  ASSERT_EQ(::truncate(dir.file("big.mf4").c_str(), 3 * kWindowSize + 100), 0);
  stream = window_stream_new(opened = file_stream_open(dir.file("big.mf4"), 0));
  ASSERT_EQ(::truncate(dir.file("big.mf4").c_str(), kWindowSize + 100), 0);
  EXPECT_EQ(stream->view(kWindowSize + 50, 100), nullptr);
  ASSERT_EQ(stream->seek(kWindowSize, kSeekSet), static_cast<std::int64_t>(kWindowSize));
  EXPECT_EQ(stream->read(all.data(), 2 * kWindowSize), 100);
  EXPECT_EQ(stream->close(), 0);
  // A file that is not regular is left to the caller.
  opened = file_stream_open("/dev/null", 0);
  EXPECT_EQ(window_stream_new(opened), nullptr);
  EXPECT_NE(opened, nullptr);
}

}  // namespace
}  // namespace busfold
