// Memory, buffered, range and file streams, and the file system root under them.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <numeric>

#include "io/buffered_stream.h"
#include "io/fs_root.h"
#include "io/memory_stream.h"
#include "io/range_stream.h"
#include "tests/support/current_folder.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

// Bytes 0, 1, 2, ...
std::unique_ptr<MemoryStream> counting(std::size_t n) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return memory_stream_from(bytes);
}

TEST(MemoryStream, SeeksAndViewsStayInBounds) {
  auto stream = memory_stream_from(Bytes{1, 2, 3, 4, 5});
  EXPECT_EQ(stream->seek(3, kSeekEnd), 8);  // from the end: extends with zeros
  EXPECT_EQ(Bytes(stream->bytes().begin(), stream->bytes().end()), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
  // Refused without moving: past the capacity, overflowing, negative, unknown whence.
  const std::pair<std::int64_t, int> refused[] = {
      {100, kSeekSet}, {INT64_MAX, kSeekCur}, {INT64_MAX, kSeekEnd}, {-9, kSeekEnd}, {0, 7}};
  for (auto [offset, whence] : refused) {
    EXPECT_EQ(stream->seek(offset, whence), kStreamError) << offset << "/" << whence;
    EXPECT_EQ(stream->tell(), 8);
  }
  EXPECT_NE(stream->view(0, 8), nullptr);
  for (auto [position, n] :
       {std::pair<std::uint64_t, std::uint64_t>{1, 8}, {9, 0}, {UINT64_MAX, 2}})
    EXPECT_EQ(stream->view(position, n), nullptr) << position;
  auto grown = memory_stream_new();
  ASSERT_EQ(grown->write("abc", 3), 3);
  ASSERT_GT(grown->capacity(), 3u);
  EXPECT_EQ(grown->view(0, 4), nullptr);  // capacity beyond the content is not content
  // The size comes from the end, leaving the position alone.
  EXPECT_EQ(grown->seek(1, kSeekSet), 1);
  EXPECT_EQ(stream_size(grown.get()), 3);
  EXPECT_EQ(grown->tell(), 1);
}

TEST(BufferedStream, ReachesTheInnerStreamOnlyWhenTheWindowIsLeft) {
  auto memory = counting(100);
  auto inner = range_stream_new(memory.get(), 0, 0);
  auto buffered = buffered_stream_new(*inner, 13);  // a window of 16
  std::uint8_t buf[40];
  ASSERT_EQ(buffered->read(buf, 10), 10);
  ASSERT_EQ(buffered->read(buf, 30), 30);  // 6 from the window, then two refills
  EXPECT_EQ(buf[29], 39);
  // The window now holds [32, 48); with the inner stream gone, it still serves seeks and
  // reads inside it.
  inner->close();
  EXPECT_EQ(buffered->seek(33, kSeekSet), 33);
  EXPECT_EQ(buffered->seek(-1, kSeekCur), 32);
  EXPECT_EQ(buffered->seek(48, kSeekSet), 48);
  EXPECT_EQ(buffered->seek(40, kSeekSet), 40);
  EXPECT_EQ(buffered->read(buf, 8), 8);
  EXPECT_EQ(buf[7], 47);
  EXPECT_EQ(buffered->seek(49, kSeekSet), 48);  // refused: nothing moves

  buffered = buffered_stream_new(*memory, 16);
  EXPECT_EQ(buffered->seek(90, kSeekSet), 90);
  EXPECT_EQ(buffered->read(buf, 40), 10);
  EXPECT_EQ(buf[0], 90);
  EXPECT_EQ(buffered->seek(-20, kSeekEnd), 80);
  EXPECT_EQ(buffered->seek(500, kSeekSet), 80);  // refused by the inner stream
  EXPECT_EQ(buffered->seek(-1, kSeekSet), kStreamError);
  EXPECT_EQ(buffered->seek(-101, kSeekEnd), kStreamError);
}

TEST(RangeStream, ClampsToItsRange) {
  auto inner = counting(200);
  auto range = range_stream_new(inner.get(), 28, 100);
  std::vector<std::uint8_t> buf(1000);
  EXPECT_EQ(range->read(buf.data(), 1000), 72);
  EXPECT_EQ(buf[0], 28);
  EXPECT_EQ(range->tell(), 72);
  EXPECT_EQ(range->seek(-5, kSeekSet), 0);
  EXPECT_EQ(range->seek(500, kSeekSet), 72);
  EXPECT_EQ(range->seek(-10, kSeekEnd), 62);
  EXPECT_EQ(range_stream_new(inner.get(), 150, 0)->seek(0, kSeekEnd), 50);  // open-ended
}

TEST(FsRoot, StatsAndListsFilesBeyondTwoGibibytes) {
  TempDir dir;
  for (const char* name : {"b", "a.txt", "B.mf4", "a.mf4", "\xc3\xa9.mf4"})
    ASSERT_TRUE(dir.write_file(name, "12345"));
  ASSERT_TRUE(dir.make_folder("A"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);            // neither file nor folder
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);  // cannot be examined
  auto root = fs_root_new(dir.path());
  ASSERT_TRUE(root);
  const std::int64_t big = (std::int64_t{5} << 30) + 5;  // sparse, no real disk use
  auto writer = fs_open(root.get(), "b", kFsWrite);
  ASSERT_EQ(writer->seek(big - 1, kSeekSet), big - 1);
  ASSERT_EQ(writer->write("Z", 1), 1);
  ASSERT_EQ(writer->close(), 0);
  const struct {
    const char* path;
    bool ok;
    FsKind kind;
    std::int64_t size;
  } cases[] = {
      {"a.mf4", true, kFsFile, 5},        {"b", true, kFsFile, big},
      {"A", true, kFsFolder, 0},          {"fifo", true, kFsOther, 0},
      {"missing", true, kFsNotFound, 0},  // not found is no error
      {"a.mf4/x", false, kFsNotFound, 0},
  };
  for (const auto& c : cases) {
    FsStat st;
    ASSERT_EQ(fs_stat(root.get(), c.path, st), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(std::make_pair(st.kind, st.size), std::make_pair(c.kind, c.size)) << c.path;
    }
  }
  EXPECT_EQ(fs_list(root.get(), "").value(),
            (std::vector<std::string>{"A", "B.mf4", "a.mf4", "a.txt", "b", "\xc3\xa9.mf4"}));
  auto buffered = buffered_stream_new(fs_open(root.get(), "b", kFsRead), 64);
  EXPECT_EQ(stream_size(buffered.get()), big);
  EXPECT_EQ(buffered->seek(big - 2, kSeekSet), big - 2);
  char two[2];
  EXPECT_EQ(buffered->read(two, 2), 2);
  EXPECT_EQ(two[1], 'Z');
}

TEST(FsRoot, TemporaryFilesAreOwnedByOneRunAndStaleOnesAreCleared) {
  TempDir dir;
  ASSERT_TRUE(dir.make_folder("out"));
  auto root = fs_root_new(dir.path());
  std::string first, second;
  auto a = fs_create_temporary(root.get(), "out/x_fin.MF4", first);
  auto b = fs_create_temporary(root.get(), "out/x_fin.MF4", second);
  ASSERT_TRUE(a && b);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first.starts_with("out/x_fin.MF4.") && first.ends_with(".part")) << first;
  // Left by runs that were killed: the old fixed name and a unique one nobody holds.
  for (const char* name :
       {"x_fin.MF4.part", "x_fin.MF4.1-1.part", "x_fin.MF4.keep", "y_fin.MF4.part"})
    ASSERT_TRUE(dir.write_file(std::string("out/") + name, "stale"));
  fs_remove_stale_temporaries(root.get(), "out/x_fin.MF4", first);
  EXPECT_TRUE(dir.exists(first));
  EXPECT_TRUE(dir.exists(second));  // a live run holds its lock
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.part"));
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.1-1.part"));
  EXPECT_TRUE(dir.exists("out/x_fin.MF4.keep"));
  EXPECT_TRUE(dir.exists("out/y_fin.MF4.part"));  // another output's
  // Once its run has closed it, the other file is stale too.
  EXPECT_EQ(b->close(), 0);
  fs_remove_stale_temporaries(root.get(), "out/x_fin.MF4", first);
  EXPECT_FALSE(dir.exists(second));
  EXPECT_TRUE(fs_sync_folder(root.get(), "out"));
}

TEST(NormalisePath, GivesAbsoluteCanonicalPaths) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("sub/x.mf4", "x"));
  testing::ScopedCurrentFolder cwd(dir.path());
  const std::string t = dir.path();
  const std::string parent = t.substr(0, t.rfind('/') + 1);
  const struct {
    std::string in, out;
  } cases[] = {
      {"sub", t + "/sub/"},                   // existing folder gains "/"
      {"sub\\x.mf4", t + "/sub/x.mf4"},       // backslash is a separator
      {"sub//x.mf4/", t + "/sub/x.mf4"},      // doubled "/" reduced, a file loses its "/"
      {t + "/sub/x.mf4/", t + "/sub/x.mf4"},  // absolute paths stay where they are
      {"logs\\2024", t + "/logs/2024"},       // missing is no error
      {"a///b", t + "/a//b"},                 // one pass: "///" becomes "//"
      {"..", parent},                         // the parent, not the current folder
      {"./..", parent},
      {".", t + "/"},
      {"./sub/./x.mf4", t + "/sub/x.mf4"},  // "." components are left out
      {t + "/./sub/.", t + "/sub/"},
      {"/no/such/place", "/no/such/place"},
  };
  for (const auto& c : cases) {
    std::string path = c.in;
    EXPECT_TRUE(normalise_path(path).ok()) << c.in;
    EXPECT_EQ(path, c.out) << c.in;
  }
  std::string through_file = dir.file("sub/x.mf4/inner");
  Status status = normalise_path(through_file);
  EXPECT_EQ(through_file, dir.file("sub/x.mf4/inner"));
  EXPECT_EQ(status.messages(), std::vector<std::string>{"Could not stat path " + through_file});
}

}  // namespace
}  // namespace busfold
